// The lite crash reporter's set-up and shutdown, through the functions sentry.dll exports.
// What it does on a crash is tested end to end (tests/e2e/test_sentry_lite.py).
#include <gtest/gtest.h>
#include <sentry.h>
#include <windows.h>

#include <csignal>
#include <string>

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    return current;
}

using SignalHandler = void (*)(int);

SignalHandler CurrentAbortHandler() {
    const SignalHandler current = std::signal(SIGABRT, SIG_DFL);
    std::signal(SIGABRT, current);
    return current;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());  // the temporary folder's ASCII name
}

class SentryLite : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        root = std::wstring(temp) + L"sentry-lite-test-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(root.c_str(), nullptr);
        before = CurrentFilter();
    }

    void TearDown() override {
        sentry_shutdown();
        for (const wchar_t* name : {L"\\dump", L"\\.sentry-lite", L"\\file"}) {
            RemoveDirectoryW((root + name).c_str());
            DeleteFileW((root + name).c_str());
        }
        RemoveDirectoryW(root.c_str());
    }

    sentry_options_t* OptionsWithDatabase(const std::wstring& path) {
        sentry_options_t* options = sentry_options_new();
        sentry_options_set_database_path(options, Narrow(path).c_str());
        return options;
    }

    std::wstring root;
    LPTOP_LEVEL_EXCEPTION_FILTER before = nullptr;
};

TEST_F(SentryLite, InitCreatesTheDatabaseAndInstallsTheFilterShutdownRemovesIt) {
    ASSERT_EQ(sentry_init(OptionsWithDatabase(root + L"\\dump")), 0);
    EXPECT_TRUE(IsFolder(root + L"\\dump"));
    EXPECT_NE(CurrentFilter(), before);

    EXPECT_EQ(sentry_shutdown(), 0);
    EXPECT_EQ(CurrentFilter(), before);
    EXPECT_EQ(sentry_shutdown(), 0) << "a second shutdown has nothing to do";

    // An existing folder is used as it is.
    EXPECT_EQ(sentry_init(OptionsWithDatabase(root + L"\\dump\\")), 0);
    EXPECT_EQ(sentry_shutdown(), 0);
}

TEST_F(SentryLite, InitFailsWhenTheDatabaseCannotBeMade) {
    EXPECT_NE(sentry_init(OptionsWithDatabase(root + L"\\missing\\dump")), 0);
    EXPECT_EQ(CurrentFilter(), before);

    const HANDLE file = CreateFileW((root + L"\\file").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
    EXPECT_NE(sentry_init(OptionsWithDatabase(root + L"\\file")), 0);
    EXPECT_EQ(CurrentFilter(), before);

    EXPECT_NE(sentry_init(nullptr), 0);
}

TEST_F(SentryLite, ASecondInitIsRefusedWhileRunning) {
    ASSERT_EQ(sentry_init(OptionsWithDatabase(root + L"\\dump")), 0);
    const LPTOP_LEVEL_EXCEPTION_FILTER installed = CurrentFilter();
    EXPECT_NE(sentry_init(OptionsWithDatabase(root + L"\\dump")), 0);
    EXPECT_EQ(CurrentFilter(), installed);
}

TEST_F(SentryLite, WithoutADatabasePathAFolderInTheCurrentDirectory) {
    wchar_t previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(root.c_str());
    const int result = sentry_init(sentry_options_new());
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(IsFolder(root + L"\\.sentry-lite"));
}

// A filter installed after the lite one stays in place at shutdown.
TEST_F(SentryLite, ShutdownLeavesALaterFilterInPlace) {
    ASSERT_EQ(sentry_init(OptionsWithDatabase(root + L"\\dump")), 0);
    const auto later = [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_CONTINUE_SEARCH; };
    const LPTOP_LEVEL_EXCEPTION_FILTER lite = SetUnhandledExceptionFilter(later);
    EXPECT_EQ(sentry_shutdown(), 0);
    EXPECT_EQ(CurrentFilter(), later);
    SetUnhandledExceptionFilter(before);
    (void)lite;
}

// abort() is caught through the runtime's SIGABRT handler, which is the reporter's only while it
// runs; one installed after it stays at shutdown, as a later filter does.
TEST_F(SentryLite, AnAbortHandlerWhileRunningThatALaterOneReplaces) {
    const SignalHandler own = [](int) {};
    std::signal(SIGABRT, own);
    ASSERT_EQ(sentry_init(OptionsWithDatabase(root + L"\\dump")), 0);
    const SignalHandler lite = CurrentAbortHandler();
    EXPECT_NE(lite, own);
    EXPECT_EQ(sentry_shutdown(), 0);
    EXPECT_EQ(CurrentAbortHandler(), own);

    ASSERT_EQ(sentry_init(OptionsWithDatabase(root + L"\\dump")), 0);
    const SignalHandler later = [](int) {};
    std::signal(SIGABRT, later);
    EXPECT_EQ(sentry_shutdown(), 0);
    EXPECT_EQ(CurrentAbortHandler(), later);
    std::signal(SIGABRT, SIG_DFL);
}

}  // namespace
