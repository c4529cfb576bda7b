#include "telemetry/plugin_loader.h"

#include <cstdio>
#include <exception>
#include <string>

#include "common/module_path.h"

bool PluginLoaded = false;
TavroPlugin* PluginInstance = nullptr;

namespace {

constexpr wchar_t kPluginFileName[] = L"TavroPlugin.dll";
constexpr unsigned long kErrorInvalidParameter = 87;

// The plugin is looked for by its bare name, but never in the current directory or on PATH:
// a TavroPlugin.dll planted where the user opened a file from must not run inside the viewer.
ModuleHandle LoadPluginLibrary(PluginLibrarySource& source) {
    ModuleHandle library = source.LoadFromDefaultDirectories(kPluginFileName);
    if (library == nullptr && source.LastError() == kErrorInvalidParameter) {
        // A Windows without the safe search flags: the file in the launcher's folder, the one
        // place the safe search would have tried first, by its full path. A bare name would
        // still search PATH. Without a folder there is no such file to load.
        const std::wstring directory = DirectoryOf(source.LauncherPath());
        if (directory.empty()) {
            return nullptr;
        }
        // The current directory is taken out of the search for the plugin's own imports, for
        // this load only: the application's later loads must search as they always have.
        source.RemoveCurrentDirectoryFromSearch();
        library = source.LoadByFullPath(directory + kPluginFileName);
        source.RestoreDefaultSearch();
    }
    return library;
}

// Lines go through stdio, not the C++ streams, whose static start-up would cost every launch
// milliseconds before its entry function for these few lines. A finished line is flushed at
// once, as the launcher always has.
void WriteLine(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The error code is read by the caller before anything is written, so the output cannot
// change it.
void WriteLoadFailure(unsigned long error) {
    std::printf("load plubgin fail:%d\n", static_cast<int>(error));
    std::fflush(stdout);
}

}  // namespace

void LoadTelemetryPlugin() {
    if (PluginLoaded) {
        return;
    }
    PluginLibrarySource& source = SystemPluginLibrarySource();
    // The library is never freed: the plugin object lives in it for the rest of the process.
    const ModuleHandle library = LoadPluginLibrary(source);
    if (library == nullptr) {
        return;
    }
    try {
        const auto factory =
            reinterpret_cast<GetTavroPluginFunction>(source.FindExport(library, "GetTavroPlugin"));
        if (factory == nullptr) {
            WriteLoadFailure(source.LastError());
            return;
        }
        PluginInstance = factory();
        if (PluginInstance == nullptr) {
            WriteLoadFailure(source.LastError());
            return;
        }
        // Asked once here so a plugin that cannot answer fails the load, inside the guard.
        std::string dsn;
        PluginInstance->GetCrashReportDsn(dsn);
        WriteLine("load plubgin success\n");
        PluginLoaded = true;
    } catch (const std::exception& error) {
        std::printf("get plugin error: %s", error.what());
    } catch (...) {
        std::fputs("get plugin error", stdout);
    }
}
