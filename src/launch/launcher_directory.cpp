#include "launch/launcher_directory.h"

std::wstring LauncherDirectoryFromModulePath(const std::wstring& module_path) {
    const size_t separator = module_path.find_last_of(L"\\/");
    if (separator != std::wstring::npos) {
        return module_path.substr(0, separator + 1);
    }
    const bool has_drive = module_path.size() >= 2 && module_path[1] == L':';
    return has_drive ? module_path.substr(0, 2) : std::wstring();
}
