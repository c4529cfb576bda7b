#pragma once

#include <string>

// The drive and directory of the launcher's full path, with the trailing separator kept:
// D:\Tools\Viewer\ for D:\Tools\Viewer\tavro-gcodeviewer.exe, E:\ at the root of a drive.
// Either slash ends the directory, as in the runtime's path splitting; a path without a
// directory gives its drive alone, or the empty string.
std::wstring LauncherDirectoryFromModulePath(const std::wstring& module_path);

// The launcher directory of this process, from a module path read whole.
std::wstring GetLauncherDirectory();
