#pragma once

#include "common/module_loader.h"

// A library of Windows itself, loaded from the system folder by its full path (the folder
// GetSystemDirectoryW names, then the file name), with that folder searched first for its own
// imports. None of these libraries is a known DLL, so a load by name, or an import of the
// executable, would take a file of that name from the launcher's folder first.
// Null on failure, with the loader's error as the thread's last error. Never freed.
ModuleHandle LoadSystemLibrary(const wchar_t* file_name);
// Its functions are found through SystemModuleLoader().FindExport.
