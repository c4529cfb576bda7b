// The sample application library: a G-code viewer drawn with the process's opengl32.dll.
// layrix_main reads the file, opens a window with an OpenGL context, prints the summary line
// and either writes one frame as a PNG (--screenshot) or runs until the window is closed.
#include <windows.h>
#include <windowsx.h>
// After windows.h, which it needs for its calling conventions.
#include <GL/gl.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "gcode_parser.h"
#include "png_file.h"
#include "toolpath.h"
#include "view.h"
#include "viewer_options.h"

namespace {

constexpr wchar_t kWindowClass[] = L"TavroSampleGcodeViewer";
constexpr wchar_t kCaption[] = L"G-code viewer";

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// The stdout line always; a box as well when a person is looking.
int Fail(bool interactive, const std::string& message, int code) {
    std::printf("gcode viewer: %s\n", message.c_str());
    std::fflush(stdout);
    if (interactive) {
        MessageBoxW(nullptr, Wide(message).c_str(), kCaption, MB_OK | MB_ICONERROR);
    }
    return code;
}

std::string GlString(GLenum name) {
    const auto* text = reinterpret_cast<const char*>(glGetString(name));
    return text != nullptr ? text : "";
}

struct Scene {
    gcode::Toolpath toolpath;
    std::vector<unsigned char> colours;  // RGBA per vertex
    std::size_t visible_layers = 0;      // layers drawn, from the bottom
    gcode::ViewAngles view;
    std::wstring file_name;
    std::string renderer;
    std::string version;
    int width = 0;
    int height = 0;
    bool dragging = false;
    POINT drag_from{};
    HDC dc = nullptr;
};

// Height as colour: blue at the bed through green and yellow to red at the top.
void Colour(double t, unsigned char* rgba) {
    static constexpr double kStops[][3] = {
        {0.20, 0.35, 1.00}, {0.10, 0.80, 0.90}, {0.25, 0.85, 0.25},
        {0.95, 0.85, 0.15}, {1.00, 0.45, 0.10}, {0.90, 0.15, 0.15},
    };
    constexpr int kLast = 5;
    t = std::clamp(t, 0.0, 1.0) * kLast;
    const int i = std::min(static_cast<int>(t), kLast - 1);
    const double f = t - i;
    for (int c = 0; c < 3; ++c) {
        const double v = kStops[i][c] + (kStops[i + 1][c] - kStops[i][c]) * f;
        rgba[c] = static_cast<unsigned char>(std::lround(v * 255));
    }
    rgba[3] = 255;
}

void ColourByHeight(Scene& scene) {
    const gcode::Extent e = scene.toolpath.extent();
    const double low = e.min.z;
    const double span = e.max.z - e.min.z;
    const auto& vertices = scene.toolpath.vertices();
    scene.colours.resize(vertices.size() * 4);
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        Colour(span > 0 ? (vertices[i].z - low) / span : 1.0, &scene.colours[i * 4]);
    }
    scene.visible_layers = scene.toolpath.layers().size();
}

void UpdateTitle(HWND window, const Scene& scene) {
    const auto& layers = scene.toolpath.layers();
    std::wstring title = scene.file_name.empty() ? L"(no file)" : scene.file_name;
    title += L" - " + std::to_wstring(layers.size()) + L" layers";
    if (scene.visible_layers < layers.size()) {
        wchar_t shown[96];
        swprintf(shown, 96, L" (up to %zu at %.2f mm)", scene.visible_layers,
                 scene.visible_layers > 0 ? layers[scene.visible_layers - 1] : 0.0);
        title += shown;
    }
    title += L" - " + Wide(scene.renderer) + L" - " + Wide(scene.version);
    SetWindowTextW(window, title.c_str());
}

void DrawBed(const gcode::Extent& e) {
    constexpr double kStep = 10;
    const double z = std::min(0.0, e.min.z);
    const double x0 = std::floor((e.min.x - 20) / kStep) * kStep;
    const double x1 = std::ceil((e.max.x + 20) / kStep) * kStep;
    const double y0 = std::floor((e.min.y - 20) / kStep) * kStep;
    const double y1 = std::ceil((e.max.y + 20) / kStep) * kStep;
    glColor3ub(64, 64, 70);
    glBegin(GL_LINES);
    for (double x = x0; x <= x1 + 1e-9; x += kStep) {
        glVertex3d(x, y0, z);
        glVertex3d(x, y1, z);
    }
    for (double y = y0; y <= y1 + 1e-9; y += kStep) {
        glVertex3d(x0, y, z);
        glVertex3d(x1, y, z);
    }
    glEnd();
}

void Draw(const Scene& scene) {
    glViewport(0, 0, scene.width, scene.height);
    glClearColor(0.11f, 0.11f, 0.13f, 1.0f);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (scene.toolpath.empty()) {
        return;
    }
    const gcode::Extent extent = scene.toolpath.extent();
    const gcode::Matrix m = gcode::FitView(extent, scene.view, scene.width, scene.height);
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixd(m.data());
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    DrawBed(extent);

    const auto& layers = scene.toolpath.layers();
    const double limit =
        scene.visible_layers == 0 ? -1e300 : layers[scene.visible_layers - 1] + 0.0005;
    const auto& vertices = scene.toolpath.vertices();
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, sizeof(gcode::Vertex), vertices.data());
    glColorPointer(4, GL_UNSIGNED_BYTE, 0, scene.colours.data());
    for (const gcode::Run& run : scene.toolpath.runs()) {
        if (run.top <= limit) {
            glDrawArrays(GL_LINE_STRIP, static_cast<GLint>(run.first),
                         static_cast<GLsizei>(run.count));
        }
    }
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* scene = reinterpret_cast<Scene*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (scene == nullptr) {
        return DefWindowProcW(window, message, wparam, lparam);
    }
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            Draw(*scene);
            SwapBuffers(scene->dc);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_SIZE:
            scene->width = LOWORD(lparam);
            scene->height = HIWORD(lparam);
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_LBUTTONDOWN:
            scene->dragging = true;
            scene->drag_from = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            SetCapture(window);
            return 0;
        case WM_LBUTTONUP:
            scene->dragging = false;
            ReleaseCapture();
            return 0;
        case WM_MOUSEMOVE:
            if (scene->dragging) {
                const POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
                scene->view.yaw_degrees += (at.x - scene->drag_from.x) * 0.4;
                scene->view.pitch_degrees = std::clamp(
                    scene->view.pitch_degrees + (at.y - scene->drag_from.y) * 0.4, -180.0, 0.0);
                scene->drag_from = at;
                InvalidateRect(window, nullptr, FALSE);
            }
            return 0;
        case WM_MOUSEWHEEL:
            scene->view.zoom = std::clamp(
                scene->view.zoom * std::pow(1.15, GET_WHEEL_DELTA_WPARAM(wparam) / 120.0), 0.05,
                200.0);
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_KEYDOWN: {
            const std::size_t all = scene->toolpath.layers().size();
            std::size_t& shown = scene->visible_layers;
            switch (wparam) {
                case VK_UP:
                case VK_PRIOR:
                    shown = std::min(all, shown + (wparam == VK_PRIOR ? 10 : 1));
                    break;
                case VK_DOWN:
                case VK_NEXT:
                    shown -= std::min(shown, std::size_t{wparam == VK_NEXT ? 10u : 1u});
                    break;
                case VK_HOME:
                    shown = std::min<std::size_t>(all, 1);
                    break;
                case VK_END:
                    shown = all;
                    break;
                case 'R':
                    scene->view = gcode::ViewAngles{};
                    break;
                case VK_ESCAPE:
                    DestroyWindow(window);
                    return 0;
                default:
                    return 0;
            }
            UpdateTitle(window, *scene);
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

// A window whose client area is the size asked for, with a current OpenGL context on it.
class GlWindow {
  public:
    ~GlWindow() {
        if (context_ != nullptr) {
            wglMakeCurrent(nullptr, nullptr);
            wglDeleteContext(context_);
        }
        if (window_ != nullptr) {
            if (dc_ != nullptr) {
                ReleaseDC(window_, dc_);
            }
            DestroyWindow(window_);
        }
    }

    // A screenshot window is never shown and has no frame: its client area, and so the back
    // buffer that is read back, must be exactly the picture's size, which a framed window
    // only approximates once the window manager has had its say.
    bool Create(Scene& scene, int width, int height, bool framed) {
        WNDCLASSW window_class{};
        window_class.style = CS_OWNDC | CS_HREDRAW | CS_VREDRAW;
        window_class.lpfnWndProc = WindowProc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        window_class.lpszClassName = kWindowClass;
        if (RegisterClassW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            return false;
        }
        const DWORD style = framed ? WS_OVERLAPPEDWINDOW : WS_POPUP;
        RECT rect{0, 0, width, height};
        AdjustWindowRect(&rect, style, FALSE);
        window_ = CreateWindowExW(0, kWindowClass, kCaption, style, framed ? CW_USEDEFAULT : 0,
                                  framed ? CW_USEDEFAULT : 0, rect.right - rect.left,
                                  rect.bottom - rect.top, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        if (window_ == nullptr) {
            return false;
        }
        dc_ = GetDC(window_);
        PIXELFORMATDESCRIPTOR format{};
        format.nSize = sizeof format;
        format.nVersion = 1;
        format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
        format.iPixelType = PFD_TYPE_RGBA;
        format.cColorBits = 24;
        format.cAlphaBits = 8;
        format.cDepthBits = 24;
        format.iLayerType = PFD_MAIN_PLANE;
        const int chosen = ChoosePixelFormat(dc_, &format);
        if (chosen == 0 || !SetPixelFormat(dc_, chosen, &format)) {
            return false;
        }
        context_ = wglCreateContext(dc_);
        if (context_ == nullptr || !wglMakeCurrent(dc_, context_)) {
            return false;
        }
        RECT client{};
        GetClientRect(window_, &client);
        scene.width = client.right > 0 ? client.right : width;
        scene.height = client.bottom > 0 ? client.bottom : height;
        scene.dc = dc_;
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&scene));
        return true;
    }

    HWND window() const { return window_; }

  private:
    HWND window_ = nullptr;
    HDC dc_ = nullptr;
    HGLRC context_ = nullptr;
};

std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

int Screenshot(Scene& scene, const gcode::ViewerOptions& options) {
    // Pixels outside the back buffer read back as nothing: a picture with an undrawn band
    // is worse than a clear failure.
    if (scene.width != options.width || scene.height != options.height) {
        return Fail(false,
                    "cannot draw a " + std::to_string(options.width) + "x" +
                        std::to_string(options.height) + " picture: the window is " +
                        std::to_string(scene.width) + "x" + std::to_string(scene.height),
                    3);
    }
    Draw(scene);
    glFinish();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(scene.width) * scene.height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, scene.width, scene.height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    if (!gcode::WritePngFile(options.screenshot, scene.width, scene.height, pixels.data())) {
        return Fail(false, "cannot write \"" + Utf8(options.screenshot) + "\"", 2);
    }
    return 0;
}

int RunViewer(const gcode::ViewerOptions& options) {
    const bool interactive = options.screenshot.empty();
    Scene scene;
    scene.file_name = BaseName(options.file);
    gcode::Parser parser(scene.toolpath);
    if (!options.file.empty()) {
        std::FILE* file = _wfopen(options.file.c_str(), L"rb");
        if (file == nullptr) {
            return Fail(interactive,
                        "cannot open \"" + Utf8(options.file) + "\": " + std::strerror(errno), 2);
        }
        const bool read = gcode::ParseFile(file, parser);
        std::fclose(file);
        if (!read) {
            return Fail(interactive, "cannot read \"" + Utf8(options.file) + "\"", 2);
        }
    }
    scene.toolpath.Finish();
    ColourByHeight(scene);

    GlWindow window;
    if (!window.Create(scene, options.width, options.height, interactive)) {
        return Fail(interactive, "cannot open an OpenGL window", 3);
    }
    scene.renderer = GlString(GL_RENDERER);
    scene.version = GlString(GL_VERSION);
    const gcode::ParseStats& stats = parser.stats();
    if (stats.bad_lines > 0 || stats.unknown_words > 0) {
        std::printf("gcode viewer: skipped %" PRIu64 " bad lines, ignored %" PRIu64
                    " unknown words\n",
                    stats.bad_lines, stats.unknown_words);
    }
    std::printf("%s\n",
                gcode::FormatSummary(scene.toolpath, scene.renderer, scene.version).c_str());
    std::fflush(stdout);
    UpdateTitle(window.window(), scene);

    if (!interactive) {
        return Screenshot(scene, options);
    }
    ShowWindow(window.window(), SW_SHOWNORMAL);
    UpdateWindow(window.window());
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

extern "C" {

// The host application installs this as its exception filter; the sample lets every
// exception go on to the next handler.
__declspec(dllexport) LONG WINAPI TavroExceptionHandler(EXCEPTION_POINTERS* /*exception*/) {
    return EXCEPTION_CONTINUE_SEARCH;
}

// The caller is C: an exception crossing into it would end the process in std::terminate,
// without a word. A picture of the largest size, or a file of many millions of moves, may
// need more memory than there is.
__declspec(dllexport) int layrix_main(int argc, wchar_t** argv) {
    bool interactive = true;
    try {
        const gcode::ViewerOptions options = gcode::ParseViewerArguments(argc, argv);
        interactive = options.screenshot.empty();
        if (!options.error.empty()) {
            return Fail(interactive, Utf8(options.error), 2);
        }
        return RunViewer(options);
    } catch (const std::bad_alloc&) {
        return Fail(interactive, "out of memory", 3);
    } catch (const std::exception& error) {
        return Fail(interactive, error.what(), 3);
    } catch (...) {
        return Fail(interactive, "unexpected error", 3);
    }
}

}  // extern "C"
