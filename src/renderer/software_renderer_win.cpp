#include <windows.h>

#include "renderer/software_renderer.h"

namespace {

class WindowsRendererSystem final : public RendererSystem {
  public:
    bool IsRemoteSession() override { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

    void RunProbe(OpenGLProbeResult& result) override {
        RunOpenGLProbe(result, SystemOpenGLProbe());
    }

    bool ReleaseLibrary(ModuleHandle library) override {
        return FreeLibrary(static_cast<HMODULE>(library)) != 0;
    }

    bool IsLibraryLoaded(const wchar_t* base_name) override {
        return GetModuleHandleW(base_name) != nullptr;
    }

    ModuleHandle LoadLibraryByPath(const std::wstring& path) override {
        return LoadLibraryExW(path.c_str(), nullptr, 0);
    }

    void ShowWarning(const wchar_t* text, const wchar_t* caption) override {
        MessageBoxW(nullptr, text, caption, MB_OK);
    }
};

}  // namespace

RendererSystem& SystemRenderer() {
    static WindowsRendererSystem system;
    return system;
}
