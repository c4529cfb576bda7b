#include "renderer/software_renderer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recorded_events.h"

namespace {

ModuleHandle const kSystemLibrary = reinterpret_cast<ModuleHandle>(0x5100);
ModuleHandle const kSoftwareLibrary = reinterpret_cast<ModuleHandle>(0x5200);

class FakeRendererSystem final : public RendererSystem {
  public:
    bool remote = false;
    bool probe_done = true;
    std::string probe_version = "4.6.0 NVIDIA 531.61";
    bool releases = true;
    bool still_loaded = false;
    bool software_loads = true;

    std::vector<std::string> calls;
    std::vector<std::wstring> loaded_paths;
    std::wstring warning_text, warning_caption;

    bool IsRemoteSession() override {
        calls.push_back("GetSystemMetrics");
        return remote;
    }
    void RunProbe(OpenGLProbeResult& result) override {
        calls.push_back("probe");
        result.library = kSystemLibrary;
        result.done = probe_done;
        result.version = probe_version;
    }
    bool ReleaseLibrary(ModuleHandle library) override {
        EXPECT_EQ(library, kSystemLibrary);
        calls.push_back("FreeLibrary");
        return releases;
    }
    bool IsLibraryLoaded(const wchar_t* base_name) override {
        EXPECT_EQ(std::wstring(base_name), L"opengl32.dll");
        calls.push_back("GetModuleHandleW");
        return still_loaded;
    }
    ModuleHandle LoadLibraryByPath(const std::wstring& path) override {
        calls.push_back("LoadLibraryExW");
        loaded_paths.push_back(path);
        return software_loads ? kSoftwareLibrary : nullptr;
    }
    void ShowWarning(const wchar_t* text, const wchar_t* caption) override {
        calls.push_back("MessageBoxW");
        warning_text = text;
        warning_caption = caption;
    }
};

using Calls = std::vector<std::string>;

std::string Ascii(const std::wstring& text) {
    std::string result;
    for (const wchar_t c : text) {
        result += static_cast<char>(c);
    }
    return result;
}

TEST(UseSoftwareRenderer, DecisionTable) {
    enum Version { kNone, kOld, kCurrent };
    const struct {
        bool sw_renderer;
        bool no_sw_renderer;
        bool no_sw_renderer_matters;
        bool remote;
        bool probe_done;
        Version version;
        Calls calls;
        bool software;
    } rows[] = {
        {true, false, false, false, true, kCurrent, {}, true},
        {false, false, true, true, true, kCurrent, {"GetSystemMetrics"}, true},
        {false, true, true, true, false, kNone, {"GetSystemMetrics", "probe"}, true},
        {false, true, true, true, true, kOld, {"GetSystemMetrics", "probe"}, true},
        {false, true, true, true, true, kCurrent, {"GetSystemMetrics", "probe"}, false},
        {false, false, false, false, false, kNone, {"GetSystemMetrics", "probe"}, true},
        {false, false, false, false, true, kOld, {"GetSystemMetrics", "probe"}, true},
        {false, false, false, false, true, kCurrent, {"GetSystemMetrics", "probe"}, false},
    };
    for (const auto& row : rows) {
        // Where the table says "any", the row must hold for both values of the switch.
        for (const bool flip : {false, true}) {
            if (flip && row.no_sw_renderer_matters) {
                continue;
            }
            RendererSwitches switches;
            switches.sw_renderer = row.sw_renderer;
            switches.no_sw_renderer = row.no_sw_renderer != flip;
            SCOPED_TRACE(testing::Message()
                         << "sw " << switches.sw_renderer << ", no-sw " << switches.no_sw_renderer
                         << ", remote " << row.remote << ", done " << row.probe_done << ", version "
                         << row.version);
            FakeRendererSystem system;
            system.remote = row.remote;
            system.probe_done = row.probe_done;
            system.probe_version = row.version == kOld ? "1.4.0 Vendor" : "2.1 Mesa 23.1.0";
            recorded_events.clear();
            OpenGLProbeResult probe;

            EXPECT_EQ(UseSoftwareRenderer(switches, probe, system), row.software);
            EXPECT_EQ(system.calls, row.calls);
            // The driver's version is judged, and reported, only after a completed probe.
            const bool judged = row.probe_done && !row.calls.empty() && row.calls.back() == "probe";
            ASSERT_EQ(recorded_events.size(), judged ? 1u : 0u);
            if (judged) {
                EXPECT_EQ(recorded_events[0].properties.at("major"),
                          row.version == kOld ? "1" : "2");
            }
        }
    }
}

class SwitchToSoftwareOpenGLTest : public ::testing::Test {
  protected:
    bool Switch(const std::wstring& directory = L"C:\\Viewer\\") {
        testing::internal::CaptureStdout();
        const bool result = SwitchToSoftwareOpenGL(probe, directory, system);
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    FakeRendererSystem system;
    OpenGLProbeResult probe;
    std::string output;
};

TEST_F(SwitchToSoftwareOpenGLTest, Outcomes) {
    const std::string loading = "Loading MESA OpenGL library: C:\\Viewer\\mesa\\opengl32.dll\n";
    const std::string loaded = "MESA OpenGL library was loaded sucessfully\n";
    const std::string not_loaded = "MESA OpenGL library was not loaded\n";
    const struct {
        const char* name;
        bool probe_loaded_library;
        bool releases;
        bool still_loaded;
        bool software_loads;
        bool result;
        Calls calls;
        std::string output;
        bool library_cleared;
    } cases[] = {
        {"no system library, software loads",
         false,
         true,
         false,
         true,
         true,
         {"LoadLibraryExW"},
         loading + loaded,
         false},
        {"no system library, software missing",
         false,
         true,
         false,
         false,
         true,
         {"LoadLibraryExW"},
         loading + not_loaded,
         false},
        {"released",
         true,
         true,
         false,
         true,
         true,
         {"FreeLibrary", "GetModuleHandleW", "LoadLibraryExW"},
         "System OpenGL library successfully released\n" + loading + loaded,
         true},
        {"released, software missing",
         true,
         true,
         false,
         false,
         true,
         {"FreeLibrary", "GetModuleHandleW", "LoadLibraryExW"},
         "System OpenGL library successfully released\n" + loading + not_loaded,
         true},
        {"release fails",
         true,
         false,
         false,
         true,
         false,
         {"FreeLibrary", "MessageBoxW"},
         "System OpenGL library NOT released\n",
         false},
        {"released but still loaded",
         true,
         true,
         true,
         true,
         false,
         {"FreeLibrary", "GetModuleHandleW", "MessageBoxW"},
         "System OpenGL library released but not removed\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        system = FakeRendererSystem{};
        system.releases = c.releases;
        system.still_loaded = c.still_loaded;
        system.software_loads = c.software_loads;
        probe = OpenGLProbeResult{};
        probe.library = c.probe_loaded_library ? kSystemLibrary : nullptr;

        EXPECT_EQ(Switch(), c.result);
        EXPECT_EQ(system.calls, c.calls);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(probe.library,
                  c.library_cleared || !c.probe_loaded_library ? nullptr : kSystemLibrary);
        if (!c.result) {
            EXPECT_EQ(system.warning_caption, L"orviMake Studio 3D Warning");
            EXPECT_EQ(system.warning_text,
                      L"orviMake Studio 3D was unable to automatically switch to MESA OpenGL "
                      L"library\nPlease, try to run the application using the '--sw-renderer' "
                      L"option.\n");
        }
    }
}

TEST_F(SwitchToSoftwareOpenGLTest, SoftwareLibraryPathIsNeverCutShort) {
    for (const std::wstring& directory :
         {std::wstring(L"E:\\"), std::wstring(L"C:\\") + std::wstring(243, L'a') + L"\\",
          std::wstring(L"C:\\") + std::wstring(400, L'b') + L"\\"}) {
        system = FakeRendererSystem{};
        EXPECT_TRUE(Switch(directory));
        const std::wstring path = directory + L"mesa\\opengl32.dll";
        EXPECT_EQ(system.loaded_paths, std::vector<std::wstring>{path});
        EXPECT_EQ(output, "Loading MESA OpenGL library: " + Ascii(path) +
                              "\nMESA OpenGL library was loaded sucessfully\n");
    }
}

TEST_F(SwitchToSoftwareOpenGLTest, PathLineIsWholeWhateverTheFolderIsCalled) {
    Switch(L"C:\\M\u00fcller \u00f8\u5370\\");
    EXPECT_EQ(
        output,
        "Loading MESA OpenGL library: C:\\M\xC3\xBCller \xC3\xB8\xE5\x8D\xB0\\mesa\\opengl32.dll\n"
        "MESA OpenGL library was loaded sucessfully\n");
}

}  // namespace
