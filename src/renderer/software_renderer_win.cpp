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

    // A software OpenGL library may come as several files: its opengl32.dll imports companion
    // libraries shipped beside it. With the full path and this flag its own folder is searched
    // first for them; with flags 0 they would be looked for beside the launcher and not found.
    ModuleHandle LoadLibraryByPath(const std::wstring& path) override {
        return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
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
