// The plugin library seam for targets that link the telemetry code without exercising it:
// there is never a plugin to load.
#include "telemetry/plugin_loader.h"

namespace {

class NoPluginLibrary final : public PluginLibrarySource {
  public:
    ModuleHandle LoadFromDefaultDirectories(const wchar_t*) override { return nullptr; }
    void RemoveCurrentDirectoryFromSearch() override {}
    void RestoreDefaultSearch() override {}
    ModuleHandle LoadByFullPath(const std::wstring&) override { return nullptr; }
    std::wstring LauncherPath() override { return {}; }
    ExportAddress FindExport(ModuleHandle, const char*) override { return nullptr; }
    unsigned long LastError() override { return 126; }
};

}  // namespace

PluginLibrarySource& SystemPluginLibrarySource() {
    static NoPluginLibrary source;
    return source;
}
