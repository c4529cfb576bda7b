#include "database/database_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/folder_paths.h"
#include "envelope.h"

namespace sentry_lite {
namespace {

constexpr int64_t kNow = 1709210096789;  // 2024-02-29 12:34:56.789 UTC
constexpr int64_t kLongAgo = kNow - kStaleTemporaryMs;

TEST(IsLeftOverReport, TakesOnlyTheReportersOwnStaleTemporaries) {
    struct Case {
        const char* name;
        bool directory;
        int64_t written_ms;
        bool taken;
    };
    const Case cases[] = {
        {"20240229T123456789Z-908.0.tmp", false, kLongAgo, true},
        {"20240229T123456789Z-908.1.tmp", false, kLongAgo, true},
        {"20240229T123456789Z-908.dmp.tmp", false, kLongAgo, true},
        {"20240229T123456789Z-908-session.tmp", false, kLongAgo, true},
        // Another process may be writing it now.
        {"20240229T123456789Z-908.0.tmp", false, kLongAgo + 1, false},
        {"20240229T123456789Z-908.0.tmp", true, kLongAgo, false},
        // Foreign files: a listing by *.tmp also finds these through their 8.3 names.
        {"20240229T123456789Z-908.tmpfile", false, kLongAgo, false},
        {"notes.tmp", false, kLongAgo, false},
        {"installation_id.908.new", false, kLongAgo, false},
        {"20240229T123456789Z-.0.tmp", false, kLongAgo, false},
        {"20240229X123456789Z-908.0.tmp", false, kLongAgo, false},
        {"20240229T123456789Z-908.2.tmp", false, kLongAgo, false},
        {"20240229T123456789Z-908.envelope", false, kLongAgo, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLeftOverReport(c.name, c.directory, c.written_ms, kNow), c.taken) << c.name;
    }
}

TEST(RestoredName, KeepsTheKindAndTheStampOnEveryAttempt) {
    struct Case {
        const char* temporary;
        int attempt;
        const char* restored;
    };
    const Case cases[] = {
        {"20240229T123456789Z-908.0.tmp", 0, "20240229T123456789Z-908.envelope"},
        {"20240229T123456789Z-908.1.tmp", 0, "20240229T123456789Z-908.envelope"},
        {"20240229T123456789Z-908.1.tmp", 1, "20240229T123456789Z-908~1.envelope"},
        {"20240229T123456789Z-908-session.tmp", 0, "20240229T123456789Z-908-session.envelope"},
        {"20240229T123456789Z-908-session.tmp", 3, "20240229T123456789Z-908~3-session.envelope"},
        {"20240229T123456789Z-908.0.tmp", kRestoreAttempts, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RestoredName(c.temporary, c.attempt), c.restored)
            << c.temporary << " " << c.attempt;
    }
}

TEST(PlaceSessionEnd, TakesTheNextMillisecondWhenANameIsTaken) {
    struct Case {
        const char* what;
        std::vector<Placing> answers;
        bool placed;
        size_t tried;
    };
    const Case cases[] = {
        {"free at once", {Placing::kPlaced}, true, 1},
        {"one taken", {Placing::kNameTaken, Placing::kPlaced}, true, 2},
        {"a failure stops", {Placing::kNameTaken, Placing::kFailed}, false, 2},
        {"all taken",
         {Placing::kNameTaken, Placing::kNameTaken, Placing::kNameTaken, Placing::kNameTaken},
         false,
         kSessionEndNameTries},
    };
    for (const Case& c : cases) {
        std::vector<std::string> tried;
        const bool placed = PlaceSessionEnd(kNow, 908, [&](const std::string& name) {
            tried.push_back(name);
            return tried.size() <= c.answers.size() ? c.answers[tried.size() - 1]
                                                    : Placing::kPlaced;
        });
        EXPECT_EQ(placed, c.placed) << c.what;
        ASSERT_EQ(tried.size(), c.tried) << c.what;
        for (size_t i = 0; i < tried.size(); ++i) {
            EXPECT_EQ(tried[i], SessionEndFileName(kNow + static_cast<int64_t>(i), 908)) << c.what;
        }
    }
}

TEST(ParseInstallationId, ReadsAUuidWithTrailingLineEnds) {
    struct Case {
        std::string kept;
        const char* id;  // null: none
    };
    const Case cases[] = {
        {"0f8fad5b-d9cb-469f-a165-70867728950e", "0f8fad5b-d9cb-469f-a165-70867728950e"},
        {"0f8fad5b-d9cb-469f-a165-70867728950e\r\n", "0f8fad5b-d9cb-469f-a165-70867728950e"},
        {"0F8FAD5B-D9CB-469F-A165-70867728950E \n", "0F8FAD5B-D9CB-469F-A165-70867728950E"},
        {"", nullptr},
        // Cut short by a writer that died.
        {"0f8fad5b-d9cb-469f-a165-7086772895", nullptr},
        {"0f8fad5b-d9cb-469f-a165-70867728950e0", nullptr},
        {" 0f8fad5b-d9cb-469f-a165-70867728950e", nullptr},
        {"0f8fad5b_d9cb-469f-a165-70867728950e", nullptr},
        {"0f8fad5b-d9cb-469f-a165-70867728950g", nullptr},
        {std::string("0f8fad5b-d9cb-469f-a165-70867728950e", 36) + '\0', nullptr},
        {"\"0f8fad5b-d9cb-469f-a165-7086772895\"", nullptr},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> id = ParseInstallationId(c.kept);
        if (c.id == nullptr) {
            EXPECT_FALSE(id) << c.kept;
        } else {
            EXPECT_EQ(id.value_or("<none>"), c.id) << c.kept;
        }
    }
}

TEST(FolderPaths, LongAndNativeForms) {
    struct Case {
        std::wstring path;
        std::wstring long_form;
        std::wstring native_form;
    };
    const Case cases[] = {
        {L"C:\\Apps\\Viewer\\dump", L"\\\\?\\C:\\Apps\\Viewer\\dump",
         L"\\??\\C:\\Apps\\Viewer\\dump"},
        {L"\\\\?\\C:\\Apps\\dump", L"\\\\?\\C:\\Apps\\dump", L"\\??\\C:\\Apps\\dump"},
        {L"\\\\server\\share\\dump", L"\\\\?\\UNC\\server\\share\\dump",
         L"\\??\\UNC\\server\\share\\dump"},
        {L"\\\\?\\UNC\\server\\share\\dump", L"\\\\?\\UNC\\server\\share\\dump",
         L"\\??\\UNC\\server\\share\\dump"},
        {L"", L"", L"\\??\\"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LongPathForm(c.path), c.long_form);
        EXPECT_EQ(NativePathForm(c.path), c.native_form);
        // The long form names the same file natively.
        if (!c.path.empty()) {
            EXPECT_EQ(NativePathForm(LongPathForm(c.path)), c.native_form);
        }
    }
    EXPECT_EQ(LongPathForm(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
}

}  // namespace
}  // namespace sentry_lite
