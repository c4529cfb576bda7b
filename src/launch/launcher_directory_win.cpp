#include "common/module_path.h"
#include "launch/launcher_directory.h"

std::wstring GetLauncherDirectory() {
    return LauncherDirectoryFromModulePath(GetModulePath());
}
