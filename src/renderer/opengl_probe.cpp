#include "renderer/opengl_probe.h"

#include <cstdio>

bool ProbeWindowDestroyed = false;

namespace {

// Through the library's own pair when it has both: gdi32's pair reaches the driver through an
// opengl32.dll reference of its own, which it keeps, and the software switch would then find
// the system library still in the process after releasing the probe's reference.
void SetProbePixelFormat(ModuleHandle library, DeviceContext dc,
                         const PixelFormatDescriptor& descriptor, OpenGLProbeSystem& system) {
    PixelFormatEntryPoints pair;
    pair.choose_format = system.FindExport(library, "wglChoosePixelFormat");
    pair.set_format = system.FindExport(library, "wglSetPixelFormat");
    if (pair.choose_format != nullptr && pair.set_format != nullptr) {
        system.SetFormatThrough(pair, dc, system.ChooseFormatThrough(pair, dc, descriptor),
                                descriptor);
        return;
    }
    system.SetFormat(dc, system.ChooseFormat(dc, descriptor), descriptor);
}

}  // namespace

void RunOpenGLProbe(OpenGLProbeResult& result, OpenGLProbeSystem& system) {
    // The class stays registered for the rest of the process: the probe runs once.
    if (!system.RegisterWindowClass(ProbeWindowClass{})) {
        return;
    }
    ProbeWindowDestroyed = false;

    ProbeWindowCreation creation;
    creation.creation_parameter = &result;
    if (system.CreateProbeWindow(creation) == nullptr) {
        return;
    }
    // The window normally destroys itself inside its creation, so the flag is tested before
    // each wait: a window already gone must not leave the launcher waiting for a message.
    while (!ProbeWindowDestroyed) {
        if (system.RetrieveMessage() <= 0) {
            break;
        }
        system.DispatchRetrievedMessage();
    }
}

std::intptr_t ProbeWindowProc(OpenGLProbeSystem& system, WindowHandle window, unsigned message,
                              std::uintptr_t wparam, std::intptr_t lparam) {
    switch (message) {
        case kWindowCreate:
            if (OpenGLProbeResult* result = system.CreationParameter(lparam)) {
                ProbeOpenGL(*result, window, system);
            }
            system.DestroyProbeWindow(window);
            return 0;
        case kWindowNcDestroy:
            ProbeWindowDestroyed = true;
            return 0;
        default:
            return system.DefaultWindowProcedure(window, message, wparam, lparam);
    }
}

void ProbeOpenGL(OpenGLProbeResult& result, WindowHandle window, OpenGLProbeSystem& system) {
    // Kept even when the probe stops later: the software switch has to release it.
    result.library = system.LoadLibraryByName(L"opengl32.dll");
    if (result.library == nullptr) {
        std::printf("Failed loading the system opengl32.dll\n");
        return;
    }

    OpenGLEntryPoints gl;
    gl.create_context = system.FindExport(result.library, "wglCreateContext");
    gl.make_current = system.FindExport(result.library, "wglMakeCurrent");
    gl.delete_context = system.FindExport(result.library, "wglDeleteContext");
    gl.get_string = system.FindExport(result.library, "glGetString");
    if (gl.create_context == nullptr || gl.make_current == nullptr ||
        gl.delete_context == nullptr || gl.get_string == nullptr) {
        std::printf("Failed loading the system opengl32.dll: The library is invalid.\n");
        return;
    }

    const PixelFormatDescriptor descriptor;
    const DeviceContext dc = system.AcquireDeviceContext(window);
    // A driver that offers no format, or no context, simply yields no version string; the
    // version check then sends the launcher to the software renderer.
    SetProbePixelFormat(result.library, dc, descriptor, system);
    const RenderingContext context = system.CreateContext(gl, dc);
    system.MakeCurrent(gl, dc, context);

    if (const char* version = system.GetString(gl, kGlVersion)) {
        result.version = version;
    }

    system.DeleteContext(gl, context);
    system.ReleaseDeviceContext(window, dc);
    result.done = true;
}
