#include "renderer/opengl_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace {

WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x1100);
DeviceContext const kDc = reinterpret_cast<DeviceContext>(0x2200);
RenderingContext const kContext = reinterpret_cast<RenderingContext>(0x3300);
ModuleHandle const kLibrary = reinterpret_cast<ModuleHandle>(0x4400);
constexpr unsigned kWindowDestroy = 0x0002;  // WM_DESTROY
constexpr std::intptr_t kDefaultResult = 77;

// Stand-ins for the library's entry points: the fake checks that each call goes through the
// address the probe looked up for it.
void CreateContextEntry() {}
void MakeCurrentEntry() {}
void DeleteContextEntry() {}
void GetStringEntry() {}
void ChoosePixelFormatEntry() {}
void SetPixelFormatEntry() {}

using Calls = std::vector<std::string>;

// Behaves as user32 does for the probe window: CreateWindowExW sends WM_CREATE and
// DestroyWindow sends WM_DESTROY then WM_NCDESTROY, both to ProbeWindowProc, before they return.
class FakeProbeSystem final : public OpenGLProbeSystem {
  public:
    bool registers = true;
    bool delivers_create = true;        // false: creation fails before WM_CREATE
    bool handle_after_destroy = false;  // what CreateWindowExW gives once the window is gone
    bool destroy_is_immediate = true;   // false: WM_NCDESTROY waits for the message loop
    std::deque<int> message_results;
    bool library_loads = true;
    std::set<std::string> missing_exports;
    int pixel_format = 7;
    bool context_created = true;
    const char* version = "4.6.0 NVIDIA 531.61";

    Calls calls;
    ProbeWindowClass window_class;
    ProbeWindowCreation creation;
    std::vector<PixelFormatDescriptor> descriptors;
    bool destroyed_flag_at_creation = true;

    bool RegisterWindowClass(const ProbeWindowClass& registered) override {
        calls.push_back("RegisterClassW");
        window_class = registered;
        return registers;
    }
    WindowHandle CreateProbeWindow(const ProbeWindowCreation& created) override {
        calls.push_back("CreateWindowExW");
        creation = created;
        destroyed_flag_at_creation = ProbeWindowDestroyed;
        if (!delivers_create) {
            return nullptr;
        }
        EXPECT_EQ(ProbeWindowProc(*this, kWindow, kWindowCreate, 0,
                                  reinterpret_cast<std::intptr_t>(&creation)),
                  0);
        return handle_after_destroy || !ProbeWindowDestroyed ? kWindow : nullptr;
    }
    int RetrieveMessage() override {
        calls.push_back("GetMessageW");
        if (message_results.empty()) {
            ADD_FAILURE() << "the loop waits for a message that never comes";
            return 0;
        }
        const int result = message_results.front();
        message_results.pop_front();
        return result;
    }
    void DispatchRetrievedMessage() override {
        calls.push_back("DispatchMessageW");
        if (message_results.empty()) {
            ProbeWindowProc(*this, kWindow, kWindowNcDestroy, 0, 0);
        }
    }
    void DestroyProbeWindow(WindowHandle window) override {
        EXPECT_EQ(window, kWindow);
        calls.push_back("DestroyWindow");
        ProbeWindowProc(*this, window, kWindowDestroy, 0, 0);
        if (destroy_is_immediate) {
            EXPECT_EQ(ProbeWindowProc(*this, window, kWindowNcDestroy, 0, 0), 0);
        }
    }
    std::intptr_t DefaultWindowProcedure(WindowHandle window, unsigned message,
                                         std::uintptr_t wparam, std::intptr_t lparam) override {
        EXPECT_EQ(window, kWindow);
        calls.push_back("DefWindowProcW " + std::to_string(message) + " " + std::to_string(wparam) +
                        " " + std::to_string(lparam));
        return kDefaultResult;
    }
    OpenGLProbeResult* CreationParameter(std::intptr_t lparam) override {
        return reinterpret_cast<const ProbeWindowCreation*>(lparam)->creation_parameter;
    }
    ModuleHandle LoadLibraryByName(const wchar_t* file_name) override {
        EXPECT_EQ(std::wstring(file_name), L"opengl32.dll");
        calls.push_back("LoadLibraryExW");
        return library_loads ? kLibrary : nullptr;
    }
    ExportAddress FindExport(ModuleHandle module, const char* name) override {
        EXPECT_EQ(module, kLibrary);
        calls.push_back(std::string("GetProcAddress ") + name);
        if (missing_exports.count(name) != 0) {
            return nullptr;
        }
        const std::string entry = name;
        if (entry == "wglCreateContext") return &CreateContextEntry;
        if (entry == "wglMakeCurrent") return &MakeCurrentEntry;
        if (entry == "wglDeleteContext") return &DeleteContextEntry;
        if (entry == "glGetString") return &GetStringEntry;
        if (entry == "wglChoosePixelFormat") return &ChoosePixelFormatEntry;
        if (entry == "wglSetPixelFormat") return &SetPixelFormatEntry;
        ADD_FAILURE() << "the probe looks up " << entry;
        return nullptr;
    }
    DeviceContext AcquireDeviceContext(WindowHandle window) override {
        EXPECT_EQ(window, kWindow);
        calls.push_back("GetDC");
        return kDc;
    }
    void ReleaseDeviceContext(WindowHandle window, DeviceContext dc) override {
        EXPECT_EQ(window, kWindow);
        EXPECT_EQ(dc, kDc);
        calls.push_back("ReleaseDC");
    }
    int ChooseFormat(DeviceContext dc, const PixelFormatDescriptor& descriptor) override {
        EXPECT_EQ(dc, kDc);
        calls.push_back("ChoosePixelFormat");
        descriptors.push_back(descriptor);
        return pixel_format;
    }
    void SetFormat(DeviceContext dc, int format, const PixelFormatDescriptor& descriptor) override {
        EXPECT_EQ(dc, kDc);
        calls.push_back("SetPixelFormat " + std::to_string(format));
        descriptors.push_back(descriptor);
    }
    int ChooseFormatThrough(const PixelFormatEntryPoints& pair, DeviceContext dc,
                            const PixelFormatDescriptor& descriptor) override {
        EXPECT_EQ(pair.choose_format, &ChoosePixelFormatEntry);
        EXPECT_EQ(dc, kDc);
        calls.push_back("wglChoosePixelFormat");
        descriptors.push_back(descriptor);
        return pixel_format;
    }
    void SetFormatThrough(const PixelFormatEntryPoints& pair, DeviceContext dc, int format,
                          const PixelFormatDescriptor& descriptor) override {
        EXPECT_EQ(pair.set_format, &SetPixelFormatEntry);
        EXPECT_EQ(dc, kDc);
        calls.push_back("wglSetPixelFormat " + std::to_string(format));
        descriptors.push_back(descriptor);
    }
    RenderingContext CreateContext(const OpenGLEntryPoints& gl, DeviceContext dc) override {
        EXPECT_EQ(gl.create_context, &CreateContextEntry);
        EXPECT_EQ(dc, kDc);
        calls.push_back("wglCreateContext");
        return context_created ? kContext : nullptr;
    }
    void MakeCurrent(const OpenGLEntryPoints& gl, DeviceContext dc,
                     RenderingContext context) override {
        EXPECT_EQ(gl.make_current, &MakeCurrentEntry);
        EXPECT_EQ(dc, kDc);
        calls.push_back(context == kContext ? "wglMakeCurrent" : "wglMakeCurrent none");
    }
    void DeleteContext(const OpenGLEntryPoints& gl, RenderingContext context) override {
        EXPECT_EQ(gl.delete_context, &DeleteContextEntry);
        calls.push_back(context == kContext ? "wglDeleteContext" : "wglDeleteContext none");
    }
    const char* GetString(const OpenGLEntryPoints& gl, unsigned name) override {
        EXPECT_EQ(gl.get_string, &GetStringEntry);
        EXPECT_EQ(name, 0x1F02u);
        calls.push_back("glGetString");
        return version;
    }
};

struct Probe {
    OpenGLProbeResult result;
    std::string output;
};

Probe RunProbe(FakeProbeSystem& system) {
    Probe probe;
    ProbeWindowDestroyed = true;  // left over from nothing: the probe must clear it itself
    testing::internal::CaptureStdout();
    RunOpenGLProbe(probe.result, system);
    probe.output = testing::internal::GetCapturedStdout();
    return probe;
}

const Calls kLookups = {"GetProcAddress wglCreateContext", "GetProcAddress wglMakeCurrent",
                        "GetProcAddress wglDeleteContext", "GetProcAddress glGetString"};

Calls Join(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(RunOpenGLProbe, ReadsTheVersionInsideTheWindowsCreationAndKeepsTheLibrary) {
    FakeProbeSystem system;
    const Probe probe = RunProbe(system);

    EXPECT_EQ(probe.result.version, "4.6.0 NVIDIA 531.61");
    EXPECT_EQ(probe.result.library, kLibrary);
    EXPECT_TRUE(probe.result.done);
    EXPECT_EQ(probe.output, "");
    EXPECT_FALSE(system.destroyed_flag_at_creation);
    // The window is gone before CreateWindowExW returns, so the loop never waits; WM_DESTROY
    // is left to the default procedure.
    EXPECT_EQ(system.calls,
              Join({{"RegisterClassW", "CreateWindowExW", "LoadLibraryExW"},
                    kLookups,
                    {"GetDC", "GetProcAddress wglChoosePixelFormat",
                     "GetProcAddress wglSetPixelFormat", "wglChoosePixelFormat",
                     "wglSetPixelFormat 7", "wglCreateContext", "wglMakeCurrent", "glGetString",
                     "wglDeleteContext", "ReleaseDC", "DestroyWindow", "DefWindowProcW 2 0 0"}}));
}

TEST(RunOpenGLProbe, HiddenWindowOfItsOwnClassWithTheRecordAsCreationParameter) {
    FakeProbeSystem system;
    const Probe probe = RunProbe(system);
    (void)probe;

    EXPECT_EQ(system.window_class.style, 0x0020u);
    EXPECT_EQ(system.window_class.background, 1);
    EXPECT_EQ(std::wstring(system.window_class.class_name), L"TavroStudio_opengl_version_check");

    const ProbeWindowCreation& c = system.creation;
    EXPECT_EQ(c.extended_style, 0u);
    EXPECT_EQ(std::wstring(c.class_name), L"TavroStudio_opengl_version_check");
    EXPECT_EQ(std::wstring(c.window_name), L"TavroStudio_opengl_version_check");
    EXPECT_EQ(c.style, 0xCF0000u);
    EXPECT_EQ(c.style & 0x10000000u, 0u) << "WS_VISIBLE";
    EXPECT_EQ(c.x, 0);
    EXPECT_EQ(c.y, 0);
    EXPECT_EQ(c.width, 640);
    EXPECT_EQ(c.height, 480);
    // Nothing the probe can call shows a window: the only window calls are creating it,
    // destroying it and the default procedure for messages it does not handle.
    for (const std::string& call : system.calls) {
        EXPECT_EQ(call.find("Show"), std::string::npos) << call;
    }
}

TEST(RunOpenGLProbe, PixelFormatDescriptorForADoubleBufferedRgbaWindow) {
    FakeProbeSystem system;
    RunProbe(system);
    ASSERT_EQ(system.descriptors.size(), 2u);
    for (const PixelFormatDescriptor& d : system.descriptors) {
        EXPECT_EQ(d.size, 40);
        EXPECT_EQ(d.version, 1);
        EXPECT_EQ(d.flags, 0x25u);
        EXPECT_EQ(d.pixel_type, 0);
        EXPECT_EQ(d.color_bits, 32);
        for (int bits :
             {d.red_bits, d.red_shift, d.green_bits, d.green_shift, d.blue_bits, d.blue_shift,
              d.alpha_bits, d.alpha_shift, d.accum_bits, d.accum_red_bits, d.accum_green_bits,
              d.accum_blue_bits, d.accum_alpha_bits, d.aux_buffers, d.layer_type, d.reserved}) {
            EXPECT_EQ(bits, 0);
        }
        EXPECT_EQ(d.depth_bits, 24);
        EXPECT_EQ(d.stencil_bits, 8);
        EXPECT_EQ(d.layer_mask, 0u);
        EXPECT_EQ(d.visible_mask, 0u);
        EXPECT_EQ(d.damage_mask, 0u);
    }
}

TEST(RunOpenGLProbe, RecordStateForEachFailure) {
    const std::string load_failed = "Failed loading the system opengl32.dll\n";
    const std::string invalid = "Failed loading the system opengl32.dll: The library is invalid.\n";
    const struct {
        const char* name;
        void (*arrange)(FakeProbeSystem&);
        bool has_library;
        std::string version;
        bool done;
        std::string output;
        bool looked_up;
        bool took_dc;
    } cases[] = {
        {"class not registered", [](FakeProbeSystem& s) { s.registers = false; }, false, "", false,
         "", false, false},
        {"window not created", [](FakeProbeSystem& s) { s.delivers_create = false; }, false, "",
         false, "", false, false},
        {"opengl32.dll does not load", [](FakeProbeSystem& s) { s.library_loads = false; }, false,
         "", false, load_failed, false, false},
        {"no wglCreateContext",
         [](FakeProbeSystem& s) { s.missing_exports = {"wglCreateContext"}; }, true, "", false,
         invalid, true, false},
        {"no wglMakeCurrent", [](FakeProbeSystem& s) { s.missing_exports = {"wglMakeCurrent"}; },
         true, "", false, invalid, true, false},
        {"no wglDeleteContext",
         [](FakeProbeSystem& s) { s.missing_exports = {"wglDeleteContext"}; }, true, "", false,
         invalid, true, false},
        {"no glGetString", [](FakeProbeSystem& s) { s.missing_exports = {"glGetString"}; }, true,
         "", false, invalid, true, false},
        {"no entry point at all",
         [](FakeProbeSystem& s) {
             s.missing_exports = {"wglCreateContext", "wglMakeCurrent", "wglDeleteContext",
                                  "glGetString"};
         },
         true, "", false, invalid, true, false},
        {"no pixel format matches", [](FakeProbeSystem& s) { s.pixel_format = 0; }, true,
         "4.6.0 NVIDIA 531.61", true, "", true, true},
        {"no context, so no version",
         [](FakeProbeSystem& s) {
             s.context_created = false;
             s.version = nullptr;
         },
         true, "", true, "", true, true},
        {"glGetString gives null", [](FakeProbeSystem& s) { s.version = nullptr; }, true, "", true,
         "", true, true},
        {"version bytes kept as they are",
         [](FakeProbeSystem& s) { s.version = " 2.1  Mesa \xC3\xA9\t\x7F "; }, true,
         " 2.1  Mesa \xC3\xA9\t\x7F ", true, "", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProbeSystem system;
        c.arrange(system);
        const Probe probe = RunProbe(system);

        EXPECT_EQ(probe.result.library, c.has_library ? kLibrary : nullptr);
        EXPECT_EQ(probe.result.version, c.version);
        EXPECT_EQ(probe.result.done, c.done);
        EXPECT_EQ(probe.output, c.output);
        const auto made = [&](const std::string& call) {
            return std::count(system.calls.begin(), system.calls.end(), call);
        };
        // Every lookup happens before any is tested; no device context or pixel format is
        // touched unless all four entry points are there.
        for (const std::string& lookup : kLookups) {
            EXPECT_EQ(made(lookup), c.looked_up ? 1 : 0) << lookup;
        }
        for (const char* call :
             {"GetDC", "wglChoosePixelFormat", "ReleaseDC", "wglCreateContext"}) {
            EXPECT_EQ(made(call), c.took_dc ? 1 : 0) << call;
        }
        EXPECT_EQ(std::count_if(system.calls.begin(), system.calls.end(),
                                [](const std::string& call) {
                                    return call.rfind("wglSetPixelFormat", 0) == 0;
                                }),
                  c.took_dc ? 1 : 0);
        // Whenever the window was created, it destroyed itself during its creation.
        EXPECT_EQ(made("DestroyWindow"), system.delivers_create && system.registers ? 1 : 0);
        EXPECT_EQ(made("GetMessageW"), 0);
    }
}

TEST(RunOpenGLProbe, NoPixelFormatIsPassedOnAsIndexZero) {
    FakeProbeSystem system;
    system.pixel_format = 0;
    RunProbe(system);
    EXPECT_NE(std::find(system.calls.begin(), system.calls.end(), "wglSetPixelFormat 0"),
              system.calls.end());
}

TEST(RunOpenGLProbe, PixelFormatPairFromTheLibraryWhenItHasBothOtherwiseGdi32s) {
    const Calls library_pair = {"wglChoosePixelFormat", "wglSetPixelFormat 7"};
    const Calls gdi32_pair = {"ChoosePixelFormat", "SetPixelFormat 7"};
    const struct {
        const char* name;
        std::set<std::string> missing;
        Calls pair;
    } cases[] = {
        {"both exported", {}, library_pair},
        {"no wglChoosePixelFormat", {"wglChoosePixelFormat"}, gdi32_pair},
        {"no wglSetPixelFormat", {"wglSetPixelFormat"}, gdi32_pair},
        {"neither exported", {"wglChoosePixelFormat", "wglSetPixelFormat"}, gdi32_pair},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProbeSystem system;
        system.missing_exports = c.missing;
        const Probe probe = RunProbe(system);

        // The pair is no required entry point: without it the probe goes on as before.
        EXPECT_EQ(probe.output, "");
        EXPECT_TRUE(probe.result.done);
        EXPECT_EQ(probe.result.version, "4.6.0 NVIDIA 531.61");
        const auto dc = std::find(system.calls.begin(), system.calls.end(), "GetDC");
        const auto context =
            std::find(system.calls.begin(), system.calls.end(), "wglCreateContext");
        ASSERT_LT(dc, context);
        EXPECT_EQ(Calls(dc + 1, context),
                  Join({{"GetProcAddress wglChoosePixelFormat", "GetProcAddress wglSetPixelFormat"},
                        c.pair}));
        ASSERT_EQ(system.descriptors.size(), 2u);
        EXPECT_EQ(system.descriptors[0].flags, 0x25u);
        EXPECT_EQ(system.descriptors[1].flags, 0x25u);
    }
}

TEST(RunOpenGLProbe, MessageLoopRunsOnlyWhileTheWindowIsThere) {
    const struct {
        const char* name;
        bool destroy_is_immediate;
        bool handle_after_destroy;
        std::deque<int> message_results;
        Calls loop;
    } cases[] = {
        {"gone inside creation, handle given", true, true, {}, {}},
        {"gone inside creation, no handle", true, false, {}, {}},
        {"gone at the second message",
         false,
         false,
         {1, 1},
         {"GetMessageW", "DispatchMessageW", "GetMessageW", "DispatchMessageW"}},
        {"WM_QUIT ends the loop",
         false,
         false,
         {1, 0},
         {"GetMessageW", "DispatchMessageW", "GetMessageW"}},
        {"an error ends the loop", false, false, {-1}, {"GetMessageW"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProbeSystem system;
        system.destroy_is_immediate = c.destroy_is_immediate;
        system.handle_after_destroy = c.handle_after_destroy;
        system.message_results = c.message_results;
        const Probe probe = RunProbe(system);
        EXPECT_TRUE(probe.result.done);

        const auto destroyed = std::find(system.calls.begin(), system.calls.end(), "DestroyWindow");
        ASSERT_NE(destroyed, system.calls.end());
        // Past DestroyWindow and the WM_DESTROY it hands to the default procedure.
        const Calls loop(destroyed + 2, system.calls.end());
        EXPECT_EQ(loop, c.loop);
    }
}

TEST(ProbeWindowProc, HandlesOnlyItsCreationAndItsLastMessage) {
    FakeProbeSystem system;
    for (const unsigned message : {0x0002u /* WM_DESTROY */, 0x000Fu /* WM_PAINT */,
                                   0x0081u /* WM_NCCREATE */, 0x0018u /* WM_SHOWWINDOW */}) {
        system.calls.clear();
        EXPECT_EQ(ProbeWindowProc(system, kWindow, message, 5, -9), kDefaultResult);
        EXPECT_EQ(system.calls, Calls{"DefWindowProcW " + std::to_string(message) + " 5 -9"});
    }

    system.calls.clear();
    ProbeWindowDestroyed = false;
    EXPECT_EQ(ProbeWindowProc(system, kWindow, kWindowNcDestroy, 0, 0), 0);
    EXPECT_TRUE(ProbeWindowDestroyed);
    EXPECT_EQ(system.calls, Calls{});
}

}  // namespace
