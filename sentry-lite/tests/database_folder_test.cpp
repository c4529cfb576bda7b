#include "database/database_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/folder_paths.h"
#include "report_names.h"

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

// The id's file on a made-up disk, where another start may act between this one's steps.
struct FakeIdFile final : InstallationIdFile {
    enum class Race { kNone, kOtherCreatesFirst, kOtherReplacesAfter };
    std::optional<std::string> content;  // none: missing
    bool too_large = false;
    bool locked = false;
    bool fail_write = false;
    Race race = Race::kNone;
    int writes = 0;

    IdRead Read(std::string& kept) override {
        if (locked) {
            return IdRead::kUnreadable;
        }
        if (!content) {
            return IdRead::kMissing;
        }
        if (too_large) {
            return IdRead::kTooLarge;
        }
        kept = *content;
        return IdRead::kRead;
    }
    bool Write(const std::string& id, bool replace) override {
        ++writes;
        if (race == Race::kOtherCreatesFirst) {
            content = kOther;
        }
        if (fail_write || (content && !replace)) {
            return false;
        }
        content = id;
        too_large = false;
        if (race == Race::kOtherReplacesAfter) {
            content = kOther;
        }
        return true;
    }

    static constexpr char kOther[] = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";
};

TEST(ResolveInstallationId, MadeOnceWrittenWholeNeverReplacedForAFailedRead) {
    using Race = FakeIdFile::Race;
    constexpr char kKept[] = "0f8fad5b-d9cb-469f-a165-70867728950e";
    constexpr char kNew[] = "11111111-2222-4333-8444-555555555555";
    constexpr const char* kOther = FakeIdFile::kOther;
    struct Case {
        const char* what;
        std::optional<std::string> content;
        bool too_large;
        bool locked;
        bool fail_write;
        Race race;
        const char* id;                    // what the run goes with
        std::optional<std::string> after;  // what the file holds after
        int writes;
    };
    const Case cases[] = {
        {"kept", kKept, false, false, false, Race::kNone, kKept, kKept, 0},
        {"kept with a line end", std::string(kKept) + "\r\n", false, false, false, Race::kNone,
         kKept, std::string(kKept) + "\r\n", 0},
        {"first start", std::nullopt, false, false, false, Race::kNone, kNew, kNew, 1},
        {"two first starts: the other's rename came first", std::nullopt, false, false, false,
         Race::kOtherCreatesFirst, kOther, kOther, 1},
        {"there but unreadable now: this run's own, the file stays", kKept, false, true, false,
         Race::kNone, kNew, kKept, 0},
        {"cut short by a writer that died: replaced", "0f8fad5b-d9cb-46", false, false, false,
         Race::kNone, kNew, kNew, 1},
        {"too large: replaced", "x", true, false, false, Race::kNone, kNew, kNew, 1},
        {"two starts replace a damaged one: both go with the last", "", false, false, false,
         Race::kOtherReplacesAfter, kOther, kOther, 1},
        {"nothing can be written: this run's own", std::nullopt, false, false, true, Race::kNone,
         kNew, std::nullopt, 1},
    };
    for (const Case& c : cases) {
        FakeIdFile file;
        file.content = c.content;
        file.too_large = c.too_large;
        file.locked = c.locked;
        file.fail_write = c.fail_write;
        file.race = c.race;
        int made = 0;
        const std::string id = ResolveInstallationId(file, [&] {
            ++made;
            return std::string(kNew);
        });
        EXPECT_EQ(id, c.id) << c.what;
        EXPECT_EQ(file.content, c.after) << c.what;
        EXPECT_EQ(file.writes, c.writes) << c.what;
        EXPECT_LE(made, 1) << c.what;
    }
}

TEST(MayCarrySessionEnd, EnvelopesAndTheTemporariesOfReportsAndSessionEnds) {
    struct Case {
        const char* name;
        bool carries;
    };
    const Case cases[] = {
        {"20240229T123456789Z-908.envelope", true},
        {"20240229T123456789Z-908-session.envelope", true},
        {"20240229T123456789Z-908~1.envelope", true},
        {"20240229T123456789Z-908.0.tmp", true},
        {"20240229T123456789Z-908.1.tmp", true},
        {"20240229T123456789Z-908-session.tmp", true},
        {"20240229T123456789Z-908.dmp.tmp", false},
        {"afeba90f-e3e1-49f1-9c5f-c940d2a8b198.open-session", false},
        {"installation_id", false},
        {"notes.tmp", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MayCarrySessionEnd(c.name), c.carries) << c.name;
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
