#include "common/module_path.h"

std::wstring DirectoryOf(const std::wstring& module_path) {
    const size_t separator = module_path.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : module_path.substr(0, separator + 1);
}
