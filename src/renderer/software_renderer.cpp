#include "renderer/software_renderer.h"

#include <cstdio>

#include "common/wide_to_utf8.h"
#include "renderer/opengl_version.h"

namespace {

bool Warn(RendererSystem& system) {
    system.ShowWarning(kWarningText, kWarningCaption);
    return false;
}

}  // namespace

bool UseSoftwareRenderer(const RendererSwitches& switches, OpenGLProbeResult& probe,
                         RendererSystem& system) {
    if (switches.sw_renderer) {
        return true;
    }
    // "--no-sw-renderer" only turns a remote session's switch into a probe; it never keeps a
    // driver the probe finds wanting.
    if (system.IsRemoteSession() && !switches.no_sw_renderer) {
        return true;
    }
    system.RunProbe(probe);
    if (!probe.done) {
        return true;
    }
    return !IsOpenGLVersionAtLeast(probe.version, 2, 0);
}

bool SwitchToSoftwareOpenGL(OpenGLProbeResult& probe, const std::wstring& launcher_directory,
                            RendererSystem& system) {
    if (probe.library != nullptr) {
        if (!system.ReleaseLibrary(probe.library)) {
            std::printf("System OpenGL library NOT released\n");
            return Warn(system);
        }
        // Another reference would keep the system library in place, and the application
        // would bind to it instead of the software one.
        if (system.IsLibraryLoaded(L"opengl32.dll")) {
            std::printf("System OpenGL library released but not removed\n");
            return Warn(system);
        }
        std::printf("System OpenGL library successfully released\n");
        probe.library = nullptr;
    }

    // Built as a string of any length: a deep launcher folder still finds its software library.
    const std::wstring path = launcher_directory + L"mesa\\opengl32.dll";
    // As UTF-8: the runtime's own conversion of a wide string stops at the first character
    // outside its narrow code page and drops the rest of the line.
    std::printf("Loading MESA OpenGL library: %s\n", WideToUtf8(path).c_str());
    // Never freed: the application binds to it once it loads.
    if (system.LoadLibraryByPath(path) != nullptr) {
        std::printf("MESA OpenGL library was loaded sucessfully\n");
    } else {
        std::printf("MESA OpenGL library was not loaded\n");
    }
    return true;
}
