#pragma once

#include <string>

#include "common/module_loader.h"
#include "launch/argument_vector.h"

// The application's entry point, exported by orviStudio.dll.
using LayrixMain = int (*)(int argc, wchar_t** argv);

// Loads orviStudio.dll from the launcher directory, requires its two exports and runs the
// application. Gives layrix_main's result, or -1 after one diagnostic line when the library
// does not load or lacks an export. The library is never freed.
int RunApplicationLibrary(const std::wstring& launcher_directory, ArgumentVector& arguments,
                          ModuleLoader& loader);
