// Reads the installed executable's own resources the way Windows and the launcher do:
// the version resource, the manifest and the icon group.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring executable;

class Packaging : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module = LoadLibraryExW(executable.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        const DWORD size = GetFileVersionInfoSizeW(executable.c_str(), nullptr);
        block.resize(size);
        if (size != 0) {
            GetFileVersionInfoW(executable.c_str(), 0, size, block.data());
        }
    }

    static std::wstring VersionString(const wchar_t* name) {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + name;
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value),
                            &length)) {
            return L"<missing>";
        }
        return value;
    }

    static std::string Resource(const wchar_t* type, const wchar_t* name) {
        HRSRC found = FindResourceW(module, name, type);
        if (found == nullptr) {
            return {};
        }
        const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    }

    static inline HMODULE module = nullptr;
    static inline std::vector<char> block;
};

TEST_F(Packaging, FixedVersionIs1_5_27_0) {
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 5u);
    EXPECT_EQ(fixed->dwFileVersionLS, 27u << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 5u);
    EXPECT_EQ(fixed->dwProductVersionLS, 27u << 16);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0u);
    EXPECT_EQ(fixed->dwFileType, 0u);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    EXPECT_EQ(fixed->dwFileDateMS, 0u);
    EXPECT_EQ(fixed->dwFileDateLS, 0u);
}

TEST_F(Packaging, StringTableAndTranslation) {
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(VersionString(L"FileDescription"), L"orviMake Studio 3D G-code Viewer");
    EXPECT_EQ(VersionString(L"ProductName"), L"orviMake Studio 3D G-code Viewer");
    EXPECT_EQ(VersionString(L"InternalName"), L"orviMake Studio 3D G-code Viewer");
    EXPECT_EQ(VersionString(L"FileVersion"), L"orviMake Studio 3D-1.5.27");
    EXPECT_EQ(VersionString(L"ProductVersion"), L"orviMake Studio 3D-1.5.27");
    EXPECT_EQ(VersionString(L"OriginalFilename"), L"tavro-gcodeviewer.exe");
    EXPECT_NE(VersionString(L"CompanyName"), L"<missing>");
    EXPECT_NE(VersionString(L"LegalCopyright"), L"<missing>");

    WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1252);
}

TEST_F(Packaging, Manifest) {
    ASSERT_NE(module, nullptr);
    const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    for (const char* expected : {
             R"(<assemblyIdentity name="Layrix" version="1.5.27.0" type="Win32"/>)",
             R"(level="asInvoker" uiAccess="false")",
             R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
             R"(processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*")",
             "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
             ">true/pm</dpiAware>",
             ">permonitorv2,permonitor</dpiAwareness>",
         }) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }
}

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<LPWSTR>*>(names)->push_back(name);
    return TRUE;
}

TEST_F(Packaging, OneIconGroupWithOne256PixelPngImage) {
    ASSERT_NE(module, nullptr);
    std::vector<LPWSTR> groups;
    EnumResourceNamesW(module, RT_GROUP_ICON, CountName, reinterpret_cast<LONG_PTR>(&groups));
    ASSERT_EQ(groups.size(), 1u);

#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colors, reserved;
        WORD planes, bit_count;
        DWORD bytes;
        WORD id;
    };
#pragma pack(pop)
    const std::string group = Resource(RT_GROUP_ICON, groups[0]);
    ASSERT_GE(group.size(), 6 + sizeof(GroupEntry));
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, sizeof(count));
    ASSERT_EQ(count, 1);
    GroupEntry entry{};
    std::memcpy(&entry, group.data() + 6, sizeof(entry));
    EXPECT_EQ(entry.width, 0);  // 0 means 256
    EXPECT_EQ(entry.height, 0);
    EXPECT_EQ(entry.bit_count, 32);

    const std::string image = Resource(RT_ICON, MAKEINTRESOURCEW(entry.id));
    ASSERT_GE(image.size(), 24u);
    EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const auto be32 = [&](size_t at) {
        return (unsigned(static_cast<unsigned char>(image[at])) << 24) |
               (unsigned(static_cast<unsigned char>(image[at + 1])) << 16) |
               (unsigned(static_cast<unsigned char>(image[at + 2])) << 8) |
               unsigned(static_cast<unsigned char>(image[at + 3]));
    };
    EXPECT_EQ(be32(16), 256u);  // IHDR width
    EXPECT_EQ(be32(20), 256u);  // IHDR height
    EXPECT_EQ(image[24], 8);    // 8 bits per channel
    EXPECT_EQ(image[25], 6);    // RGBA: 32 bits per pixel
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: packaging_test <path of tavro-gcodeviewer.exe>\n");
        return 2;
    }
    executable = argv[1];
    return RUN_ALL_TESTS();
}
