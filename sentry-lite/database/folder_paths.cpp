#include "database/folder_paths.h"

namespace sentry_lite {
namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wstring(prefix).size(), prefix) == 0;
}

}  // namespace

std::wstring LongPathForm(const std::wstring& absolute) {
    if (absolute.empty() || StartsWith(absolute, L"\\\\?\\") || StartsWith(absolute, L"\\\\.\\")) {
        return absolute;
    }
    if (StartsWith(absolute, L"\\\\")) {
        return L"\\\\?\\UNC\\" + absolute.substr(2);
    }
    return L"\\\\?\\" + absolute;
}

std::wstring NativePathForm(const std::wstring& absolute) {
    if (StartsWith(absolute, L"\\\\?\\")) {
        return L"\\??\\" + absolute.substr(4);
    }
    if (StartsWith(absolute, L"\\\\")) {
        return L"\\??\\UNC\\" + absolute.substr(2);
    }
    return L"\\??\\" + absolute;
}

}  // namespace sentry_lite
