#pragma once

#include <cstdint>
#include <string>

#include "common/module_loader.h"

// What the probe found. The entry function owns it; the probe fills it once and only the
// software switch writes to it afterwards (clearing library once it is released).
struct OpenGLProbeResult {
    // GL_VERSION byte for byte as the driver gave it; empty when it gave nothing.
    std::string version;
    // The system opengl32.dll as the probe loaded it, kept when the probe stops later. Never
    // freed by the record: it stays loaded for the application unless the software switch
    // releases it.
    ModuleHandle library = nullptr;
    // Only a completed probe lets its version be judged.
    bool done = false;
};

// Set when the probe window has received its last message; the message loop reads it.
extern bool ProbeWindowDestroyed;

using WindowHandle = void*;
using DeviceContext = void*;
using RenderingContext = void*;

constexpr wchar_t kProbeWindowClassName[] = L"TavroStudio_opengl_version_check";

constexpr unsigned kWindowCreate = 0x0001;                  // WM_CREATE
constexpr unsigned kWindowNcDestroy = 0x0082;               // WM_NCDESTROY
constexpr std::uint32_t kOwnDeviceContext = 0x0020;         // CS_OWNDC
constexpr std::uint32_t kOverlappedWindowStyle = 0xCF0000;  // WS_OVERLAPPEDWINDOW
constexpr std::uint32_t kVisibleStyle = 0x10000000;         // WS_VISIBLE
constexpr unsigned kGlVersion = 0x1F02;                     // GL_VERSION

// The fields of WNDCLASSW the probe sets; the window procedure and the module handle are the
// platform's to fill in.
struct ProbeWindowClass {
    std::uint32_t style = kOwnDeviceContext;
    // A system-colour brush value; the window is never painted.
    std::intptr_t background = 1;
    const wchar_t* class_name = kProbeWindowClassName;
};

// The arguments of CreateWindowExW, in call order; instance is the class's module handle.
struct ProbeWindowCreation {
    std::uint32_t extended_style = 0;
    const wchar_t* class_name = kProbeWindowClassName;
    const wchar_t* window_name = kProbeWindowClassName;
    // No WS_VISIBLE, and nothing ever shows the window: it lives only inside its creation.
    std::uint32_t style = kOverlappedWindowStyle;
    int x = 0;
    int y = 0;
    int width = 640;
    int height = 480;
    OpenGLProbeResult* creation_parameter = nullptr;
};

// PIXELFORMATDESCRIPTOR, field for field.
struct PixelFormatDescriptor {
    std::uint16_t size = 40;
    std::uint16_t version = 1;
    // PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER
    std::uint32_t flags = 0x04 | 0x20 | 0x01;
    std::uint8_t pixel_type = 0;  // PFD_TYPE_RGBA
    std::uint8_t color_bits = 32;
    std::uint8_t red_bits = 0;
    std::uint8_t red_shift = 0;
    std::uint8_t green_bits = 0;
    std::uint8_t green_shift = 0;
    std::uint8_t blue_bits = 0;
    std::uint8_t blue_shift = 0;
    std::uint8_t alpha_bits = 0;
    std::uint8_t alpha_shift = 0;
    std::uint8_t accum_bits = 0;
    std::uint8_t accum_red_bits = 0;
    std::uint8_t accum_green_bits = 0;
    std::uint8_t accum_blue_bits = 0;
    std::uint8_t accum_alpha_bits = 0;
    std::uint8_t depth_bits = 24;
    std::uint8_t stencil_bits = 8;
    std::uint8_t aux_buffers = 0;
    std::uint8_t layer_type = 0;  // PFD_MAIN_PLANE
    std::uint8_t reserved = 0;
    std::uint32_t layer_mask = 0;
    std::uint32_t visible_mask = 0;
    std::uint32_t damage_mask = 0;
};

// The four entry points the loaded opengl32.dll must have; without one it is invalid.
struct OpenGLEntryPoints {
    ExportAddress create_context = nullptr;  // wglCreateContext
    ExportAddress make_current = nullptr;    // wglMakeCurrent
    ExportAddress delete_context = nullptr;  // wglDeleteContext
    ExportAddress get_string = nullptr;      // glGetString
};

// The loaded opengl32.dll's own pixel-format pair, used only when it has both.
struct PixelFormatEntryPoints {
    ExportAddress choose_format = nullptr;  // wglChoosePixelFormat
    ExportAddress set_format = nullptr;     // wglSetPixelFormat
};

// The window, message and OpenGL operations the probe needs: user32, gdi32 and the entry
// points of the library it loaded on Windows; a fake in the host tests. Nothing here can
// show a window.
class OpenGLProbeSystem {
  public:
    // GetModuleHandleW(no name), then RegisterClassW with the probe's window procedure.
    virtual bool RegisterWindowClass(const ProbeWindowClass& window_class) = 0;
    // CreateWindowExW: the window procedure receives WM_CREATE before this returns.
    virtual WindowHandle CreateProbeWindow(const ProbeWindowCreation& creation) = 0;
    // GetMessageW(&message, no window, 0, 0) into a zero-filled message; its result.
    virtual int RetrieveMessage() = 0;
    // DispatchMessageW with the message RetrieveMessage took.
    virtual void DispatchRetrievedMessage() = 0;
    // DestroyWindow: the window procedure receives WM_NCDESTROY before this returns.
    virtual void DestroyProbeWindow(WindowHandle window) = 0;
    virtual std::intptr_t DefaultWindowProcedure(WindowHandle window, unsigned message,
                                                 std::uintptr_t wparam, std::intptr_t lparam) = 0;
    // The creation parameter in the CREATESTRUCTW that WM_CREATE's lparam points to.
    virtual OpenGLProbeResult* CreationParameter(std::intptr_t lparam) = 0;

    // LoadLibraryExW(file_name, no file, 0): the platform's standard search.
    virtual ModuleHandle LoadLibraryByName(const wchar_t* file_name) = 0;
    virtual ExportAddress FindExport(ModuleHandle module, const char* name) = 0;

    virtual DeviceContext AcquireDeviceContext(WindowHandle window) = 0;
    virtual void ReleaseDeviceContext(WindowHandle window, DeviceContext dc) = 0;
    // gdi32's ChoosePixelFormat and SetPixelFormat.
    virtual int ChooseFormat(DeviceContext dc, const PixelFormatDescriptor& descriptor) = 0;
    virtual void SetFormat(DeviceContext dc, int format,
                           const PixelFormatDescriptor& descriptor) = 0;
    // The same two calls through the library's wglChoosePixelFormat and wglSetPixelFormat.
    virtual int ChooseFormatThrough(const PixelFormatEntryPoints& pair, DeviceContext dc,
                                    const PixelFormatDescriptor& descriptor) = 0;
    virtual void SetFormatThrough(const PixelFormatEntryPoints& pair, DeviceContext dc, int format,
                                  const PixelFormatDescriptor& descriptor) = 0;

    // Calls through the entry points the probe looked up, with the platform's calling
    // convention.
    virtual RenderingContext CreateContext(const OpenGLEntryPoints& gl, DeviceContext dc) = 0;
    virtual void MakeCurrent(const OpenGLEntryPoints& gl, DeviceContext dc,
                             RenderingContext context) = 0;
    virtual void DeleteContext(const OpenGLEntryPoints& gl, RenderingContext context) = 0;
    virtual const char* GetString(const OpenGLEntryPoints& gl, unsigned name) = 0;

  protected:
    ~OpenGLProbeSystem() = default;
};

// The Windows side; the portable code never calls it, so the host builds need none.
OpenGLProbeSystem& SystemOpenGLProbe();

// Registers the probe's window class and creates its hidden window; the window probes
// OpenGL while it handles its creation and destroys itself. result must be empty.
void RunOpenGLProbe(OpenGLProbeResult& result, OpenGLProbeSystem& system);

// The window procedure's handling of a message: the platform's procedure hands every
// message here.
std::intptr_t ProbeWindowProc(OpenGLProbeSystem& system, WindowHandle window, unsigned message,
                              std::uintptr_t wparam, std::intptr_t lparam);

// Loads the system opengl32.dll, makes a temporary context current on the window and reads
// GL_VERSION into result. The library stays loaded on every path.
void ProbeOpenGL(OpenGLProbeResult& result, WindowHandle window, OpenGLProbeSystem& system);
