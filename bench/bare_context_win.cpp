// The probe's floor: the least a program does to read the system OpenGL driver's version
// through a hidden window. It registers a window class and creates a hidden window whose
// WM_CREATE loads opengl32.dll, sets a pixel format, creates and makes current a context,
// reads GL_VERSION and deletes the context; the window is then destroyed. The span from before
// the class registration to after the window is gone is recorded as "context_us".
#include <windows.h>

#include "bench_record.h"

namespace {

using CreateContext = HGLRC(WINAPI*)(HDC);
using MakeCurrent = BOOL(WINAPI*)(HDC, HGLRC);
using DeleteContext = BOOL(WINAPI*)(HGLRC);
using GetString = const unsigned char*(WINAPI*)(unsigned int);

template <typename Function>
Function Find(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool version_read = false;

void ReadVersion(HWND window) {
    const HMODULE library = LoadLibraryExW(L"opengl32.dll", nullptr, 0);
    if (library == nullptr) {
        return;
    }
    const auto create = Find<CreateContext>(library, "wglCreateContext");
    const auto make_current = Find<MakeCurrent>(library, "wglMakeCurrent");
    const auto remove = Find<DeleteContext>(library, "wglDeleteContext");
    const auto get_string = Find<GetString>(library, "glGetString");
    if (create == nullptr || make_current == nullptr || remove == nullptr ||
        get_string == nullptr) {
        return;
    }
    PIXELFORMATDESCRIPTOR format{};
    format.nSize = sizeof format;
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = 32;
    format.cDepthBits = 24;
    format.cStencilBits = 8;
    format.iLayerType = PFD_MAIN_PLANE;
    const HDC dc = GetDC(window);
    SetPixelFormat(dc, ChoosePixelFormat(dc, &format), &format);
    const HGLRC context = create(dc);
    make_current(dc, context);
    version_read = get_string(0x1F02) != nullptr;
    remove(context);
    ReleaseDC(window, dc);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CREATE) {
        ReadVersion(window);
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const double start = bench::Microseconds();
    WNDCLASSW window_class{};
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"bench_bare_context";
    if (RegisterClassW(&window_class) == 0) {
        return 1;
    }
    CreateWindowExW(0, window_class.lpszClassName, window_class.lpszClassName, WS_OVERLAPPEDWINDOW,
                    0, 0, 640, 480, nullptr, nullptr, instance, nullptr);
    const double end = bench::Microseconds();
    if (!version_read) {
        return 2;
    }
    bench::Record("context_us", end - start);
    return 0;
}
