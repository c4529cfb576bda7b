#include <windows.h>

#include "common/module_path.h"
#include "telemetry/plugin_loader.h"

namespace {

class WindowsPluginLibrarySource final : public PluginLibrarySource {
  public:
    ModuleHandle LoadFromDefaultDirectories(const wchar_t* file_name) override {
        return LoadLibraryExW(file_name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    void RemoveCurrentDirectoryFromSearch() override { SetDllDirectoryW(L""); }
    void RestoreDefaultSearch() override { SetDllDirectoryW(nullptr); }
    ModuleHandle LoadByFullPath(const std::wstring& path) override {
        return LoadLibraryW(path.c_str());
    }
    std::wstring LauncherPath() override { return GetModulePath(); }
    ExportAddress FindExport(ModuleHandle module, const char* name) override {
        return reinterpret_cast<ExportAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
    }
    unsigned long LastError() override { return GetLastError(); }
};

}  // namespace

PluginLibrarySource& SystemPluginLibrarySource() {
    static WindowsPluginLibrarySource source;
    return source;
}
