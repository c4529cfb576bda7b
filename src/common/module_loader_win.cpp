#include <windows.h>

#include "common/module_loader.h"

namespace {

class WindowsModuleLoader final : public ModuleLoader {
  public:
    ModuleHandle Load(const std::wstring& path) override {
        return LoadLibraryExW(path.c_str(), nullptr, 0);
    }
    unsigned long LastError() override { return GetLastError(); }
    ExportAddress FindExport(ModuleHandle module, const char* name) override {
        return reinterpret_cast<ExportAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
    }
};

}  // namespace

ModuleLoader& SystemModuleLoader() {
    static WindowsModuleLoader loader;
    return loader;
}
