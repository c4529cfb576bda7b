#pragma once

#include <string>

#include "common/module_loader.h"
#include "tavro/tavro_plugin.h"

// Where the plugin library comes from: LoadLibraryExW with the safe search, the LoadLibraryW
// fallback by full path, the launcher's path, GetProcAddress and GetLastError on Windows; a
// fake in the host tests.
class PluginLibrarySource {
  public:
    // Searches the launcher's folder and System32 only (LOAD_LIBRARY_SEARCH_DEFAULT_DIRS).
    virtual ModuleHandle LoadFromDefaultDirectories(const wchar_t* file_name) = 0;
    // Takes the current directory out of the library search (SetDllDirectoryW with "").
    virtual void RemoveCurrentDirectoryFromSearch() = 0;
    // Gives the process its standard library search back (SetDllDirectoryW with null).
    virtual void RestoreDefaultSearch() = 0;
    // LoadLibraryW with a full path: that file and no other.
    virtual ModuleHandle LoadByFullPath(const std::wstring& path) = 0;
    // The launcher executable's full path; empty when it cannot be read.
    virtual std::wstring LauncherPath() = 0;
    virtual ExportAddress FindExport(ModuleHandle module, const char* name) = 0;
    virtual unsigned long LastError() = 0;

  protected:
    ~PluginLibrarySource() = default;
};

// The Windows source; the host tests link their own.
PluginLibrarySource& SystemPluginLibrarySource();

// True once a load has completed; never false again.
extern bool PluginLoaded;
// The factory's latest result, null included. Owned by the plugin library.
extern TavroPlugin* PluginInstance;

// Loads TavroPlugin.dll and keeps its object; a failed load is tried again at the next call.
// Every user calls this first and uses PluginInstance only when it is not null.
void LoadTelemetryPlugin();
