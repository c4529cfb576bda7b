#include <windows.h>

#include "renderer/opengl_probe.h"

namespace {

// The WGL and GL entry points as opengl32.dll exports them.
using CreateContextEntry = HGLRC(WINAPI*)(HDC);
using MakeCurrentEntry = BOOL(WINAPI*)(HDC, HGLRC);
using DeleteContextEntry = BOOL(WINAPI*)(HGLRC);
using GetStringEntry = const unsigned char*(WINAPI*)(unsigned int);
// Declared as gdi32's ChoosePixelFormat and SetPixelFormat are.
using ChoosePixelFormatEntry = int(WINAPI*)(HDC, const PIXELFORMATDESCRIPTOR*);
using SetPixelFormatEntry = BOOL(WINAPI*)(HDC, int, const PIXELFORMATDESCRIPTOR*);

template <typename Entry>
Entry As(ExportAddress address) {
    return reinterpret_cast<Entry>(address);
}

HWND AsWindow(WindowHandle window) {
    return static_cast<HWND>(window);
}

HDC AsDeviceContext(DeviceContext dc) {
    return static_cast<HDC>(dc);
}

PIXELFORMATDESCRIPTOR ToWindows(const PixelFormatDescriptor& d) {
    PIXELFORMATDESCRIPTOR w{};
    w.nSize = d.size;
    w.nVersion = d.version;
    w.dwFlags = d.flags;
    w.iPixelType = d.pixel_type;
    w.cColorBits = d.color_bits;
    w.cRedBits = d.red_bits;
    w.cRedShift = d.red_shift;
    w.cGreenBits = d.green_bits;
    w.cGreenShift = d.green_shift;
    w.cBlueBits = d.blue_bits;
    w.cBlueShift = d.blue_shift;
    w.cAlphaBits = d.alpha_bits;
    w.cAlphaShift = d.alpha_shift;
    w.cAccumBits = d.accum_bits;
    w.cAccumRedBits = d.accum_red_bits;
    w.cAccumGreenBits = d.accum_green_bits;
    w.cAccumBlueBits = d.accum_blue_bits;
    w.cAccumAlphaBits = d.accum_alpha_bits;
    w.cDepthBits = d.depth_bits;
    w.cStencilBits = d.stencil_bits;
    w.cAuxBuffers = d.aux_buffers;
    w.iLayerType = d.layer_type;
    w.bReserved = d.reserved;
    w.dwLayerMask = d.layer_mask;
    w.dwVisibleMask = d.visible_mask;
    w.dwDamageMask = d.damage_mask;
    return w;
}
static_assert(sizeof(PIXELFORMATDESCRIPTOR) == 40, "the descriptor's size field says 40");

LRESULT CALLBACK WindowsProbeWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return ProbeWindowProc(SystemOpenGLProbe(), window, message, wparam, lparam);
}

class WindowsOpenGLProbeSystem final : public OpenGLProbeSystem {
  public:
    bool RegisterWindowClass(const ProbeWindowClass& window_class) override {
        WNDCLASSW registration{};
        registration.style = window_class.style;
        registration.lpfnWndProc = &WindowsProbeWindowProc;
        registration.hInstance = GetModuleHandleW(nullptr);
        registration.hbrBackground = reinterpret_cast<HBRUSH>(window_class.background);
        registration.lpszClassName = window_class.class_name;
        return RegisterClassW(&registration) != 0;
    }

    WindowHandle CreateProbeWindow(const ProbeWindowCreation& c) override {
        return CreateWindowExW(c.extended_style, c.class_name, c.window_name, c.style, c.x, c.y,
                               c.width, c.height, nullptr, nullptr, GetModuleHandleW(nullptr),
                               c.creation_parameter);
    }

    int RetrieveMessage() override {
        message_ = MSG{};
        return GetMessageW(&message_, nullptr, 0, 0);
    }

    void DispatchRetrievedMessage() override { DispatchMessageW(&message_); }

    void DestroyProbeWindow(WindowHandle window) override { DestroyWindow(AsWindow(window)); }

    std::intptr_t DefaultWindowProcedure(WindowHandle window, unsigned message,
                                         std::uintptr_t wparam, std::intptr_t lparam) override {
        return DefWindowProcW(AsWindow(window), message, wparam, lparam);
    }

    OpenGLProbeResult* CreationParameter(std::intptr_t lparam) override {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        return static_cast<OpenGLProbeResult*>(creation->lpCreateParams);
    }

    ModuleHandle LoadLibraryByName(const wchar_t* file_name) override {
        return LoadLibraryExW(file_name, nullptr, 0);
    }

    ExportAddress FindExport(ModuleHandle module, const char* name) override {
        return reinterpret_cast<ExportAddress>(GetProcAddress(static_cast<HMODULE>(module), name));
    }

    DeviceContext AcquireDeviceContext(WindowHandle window) override {
        return GetDC(AsWindow(window));
    }

    void ReleaseDeviceContext(WindowHandle window, DeviceContext dc) override {
        ReleaseDC(AsWindow(window), AsDeviceContext(dc));
    }

    int ChooseFormat(DeviceContext dc, const PixelFormatDescriptor& descriptor) override {
        const PIXELFORMATDESCRIPTOR windows_descriptor = ToWindows(descriptor);
        return ChoosePixelFormat(AsDeviceContext(dc), &windows_descriptor);
    }

    void SetFormat(DeviceContext dc, int format, const PixelFormatDescriptor& descriptor) override {
        const PIXELFORMATDESCRIPTOR windows_descriptor = ToWindows(descriptor);
        SetPixelFormat(AsDeviceContext(dc), format, &windows_descriptor);
    }

    int ChooseFormatThrough(const PixelFormatEntryPoints& pair, DeviceContext dc,
                            const PixelFormatDescriptor& descriptor) override {
        const PIXELFORMATDESCRIPTOR windows_descriptor = ToWindows(descriptor);
        return As<ChoosePixelFormatEntry>(pair.choose_format)(AsDeviceContext(dc),
                                                              &windows_descriptor);
    }

    void SetFormatThrough(const PixelFormatEntryPoints& pair, DeviceContext dc, int format,
                          const PixelFormatDescriptor& descriptor) override {
        const PIXELFORMATDESCRIPTOR windows_descriptor = ToWindows(descriptor);
        As<SetPixelFormatEntry>(pair.set_format)(AsDeviceContext(dc), format, &windows_descriptor);
    }

    RenderingContext CreateContext(const OpenGLEntryPoints& gl, DeviceContext dc) override {
        return As<CreateContextEntry>(gl.create_context)(AsDeviceContext(dc));
    }

    void MakeCurrent(const OpenGLEntryPoints& gl, DeviceContext dc,
                     RenderingContext context) override {
        As<MakeCurrentEntry>(gl.make_current)(AsDeviceContext(dc), static_cast<HGLRC>(context));
    }

    void DeleteContext(const OpenGLEntryPoints& gl, RenderingContext context) override {
        As<DeleteContextEntry>(gl.delete_context)(static_cast<HGLRC>(context));
    }

    const char* GetString(const OpenGLEntryPoints& gl, unsigned name) override {
        return reinterpret_cast<const char*>(As<GetStringEntry>(gl.get_string)(name));
    }

  private:
    MSG message_{};
};

}  // namespace

OpenGLProbeSystem& SystemOpenGLProbe() {
    static WindowsOpenGLProbeSystem system;
    return system;
}
