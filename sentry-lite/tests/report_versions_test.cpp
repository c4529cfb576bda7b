#include "backends/report_versions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "backends/handler_patience.h"

namespace sentry_lite {
namespace {

// Files in memory; a step can be made to fail, as a full disk or a fault would.
class FakeFiles final : public ReportFiles {
  public:
    bool Open(size_t slot) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        return !(fail_open_slot == static_cast<int>(slot));
    }
    bool WriteAt(size_t slot, uint64_t offset, const char* data, size_t size) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (fail_writes) {
            return false;
        }
        std::string& file = files[slot];
        if (file.size() < offset + size) {
            file.resize(offset + size);
        }
        file.replace(offset, size, data, size);
        return true;
    }
    bool CopyMinidumpAt(size_t slot, uint64_t offset, uint64_t size) override {
        if (fail_dump) {
            return false;
        }
        return WriteAt(slot, offset, std::string(size, 'M').data(), size);
    }
    bool SetSize(size_t slot, uint64_t size) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        files[slot].resize(size);
        return true;
    }
    void Keep(size_t slot) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        kept = files[slot];
        ++keeps;
    }

    std::string files[ReportVersions::kSlots];
    std::string kept;
    int keeps = 0;
    int fail_open_slot = -1;
    std::atomic<bool> fail_writes{false};
    bool fail_dump = false;

  private:
    std::mutex mutex_;
};

bool Write(ReportVersions& versions, const std::string& text, uint64_t dump_size = 0) {
    const Piece pieces[] = {{text.data(), text.size()}, {"|", 1}};
    return versions.Write(pieces, 2, dump_size);
}

TEST(ReportVersions, KeepsTheLastWholeVersion) {
    struct Case {
        const char* what;
        int fail_open_slot;
        bool fail_second_write;
        bool fail_dump;
        std::string kept;
    };
    const Case cases[] = {
        {"all written", -1, false, false, "third|MMMM\n"},
        {"the second cannot be written", -1, true, false, "first|"},
        {"the minidump cannot be copied", -1, false, true, "second-longer|"},
        {"the second slot cannot be made", 1, false, false, "first|"},
        {"no slot can be made", 0, false, false, ""},
    };
    for (const Case& c : cases) {
        FakeFiles files;
        files.fail_open_slot = c.fail_open_slot;
        ReportVersions versions(files);
        Write(versions, "first");
        files.fail_writes = c.fail_second_write;
        Write(versions, "second-longer");
        files.fail_writes = false;
        files.fail_dump = c.fail_dump;
        if (!c.fail_second_write) {
            Write(versions, "third", 4);
        }
        EXPECT_EQ(versions.Finish(), !c.kept.empty()) << c.what;
        EXPECT_EQ(files.kept, c.kept) << c.what;
        EXPECT_EQ(files.keeps, c.kept.empty() ? 0 : 1) << c.what;
    }
}

// A slot written again holds no tail of the longer version it held before.
TEST(ReportVersions, AShorterVersionLeavesNothingOfALongerOne) {
    FakeFiles files;
    ReportVersions versions(files);
    ASSERT_TRUE(Write(versions, "a-long-first-version"));
    ASSERT_TRUE(Write(versions, "second"));
    ASSERT_TRUE(Write(versions, "3rd"));
    versions.Finish();
    EXPECT_EQ(files.kept, "3rd|");
}

TEST(ReportVersions, NothingIsPublishedOrKeptAfterTheFinish) {
    FakeFiles files;
    ReportVersions versions(files);
    ASSERT_TRUE(Write(versions, "first"));
    EXPECT_TRUE(versions.Finish());
    EXPECT_FALSE(Write(versions, "late"));  // a callback that came back after the wait
    EXPECT_FALSE(versions.Finish());
    EXPECT_EQ(files.kept, "first|");
    EXPECT_EQ(files.keeps, 1);
}

TEST(ReportVersions, ADiscardedReportKeepsNothing) {
    FakeFiles files;
    ReportVersions versions(files);
    ASSERT_TRUE(Write(versions, "first"));
    versions.Discard();
    EXPECT_FALSE(versions.Finish());
    EXPECT_FALSE(Write(versions, "second"));
    EXPECT_EQ(files.keeps, 0);
}

// The handler writes versions while the crashed thread, tired of waiting, finishes the crash:
// what is kept is always one whole version, and it is kept once.
TEST(ReportVersions, AFinishDuringAWriteKeepsAWholeVersion) {
    for (int round = 0; round < 200; ++round) {
        FakeFiles files;
        ReportVersions versions(files);
        std::atomic<bool> go{false};
        std::thread handler([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 50; ++i) {
                Write(versions, "version-" + std::to_string(i) + std::string(i, '.'));
            }
        });
        go = true;
        const bool kept_one = versions.Finish();
        handler.join();
        ASSERT_LE(files.keeps, 1);
        EXPECT_EQ(kept_one, files.keeps == 1);
        if (files.keeps == 1) {
            const std::string& kept = files.kept;
            ASSERT_EQ(kept.back(), '|') << kept;
            const size_t dash = kept.find('-');
            const int i = std::stoi(kept.substr(dash + 1));
            EXPECT_EQ(kept, "version-" + std::to_string(i) + std::string(i, '.') + "|");
        }
    }
}

// The crashed thread's patience, on a made-up clock: each step the handler reaches starts its
// own time; staying in one step past its patience ends the wait.
TEST(HandlerWait, EachStepHasItsOwnPatience) {
    struct Tick {
        uint64_t at_ms;
        HandlerStep reached;
        bool expired;
    };
    struct Case {
        const char* what;
        std::vector<Tick> ticks;
    };
    const uint64_t taking = PatienceFor(HandlerStep::kTaking);
    const uint64_t gathering = PatienceFor(HandlerStep::kGathering);
    const uint64_t calling = PatienceFor(HandlerStep::kCallingBack);
    const Case cases[] = {
        {"never taken",
         {{taking - 1, HandlerStep::kTaking, false}, {taking, HandlerStep::kTaking, true}}},
        {"taken late, gathering starts its own time",
         {{taking - 1, HandlerStep::kGathering, false},
          {taking + 1, HandlerStep::kGathering, false},
          {taking - 1 + gathering - 1, HandlerStep::kGathering, false},
          {taking - 1 + gathering, HandlerStep::kGathering, true}}},
        {"a callback that hangs",
         {{100, HandlerStep::kGathering, false},
          {5000, HandlerStep::kCallingBack, false},
          {5000 + calling - 1, HandlerStep::kCallingBack, false},
          {5000 + calling, HandlerStep::kCallingBack, true}}},
        {"a clock read late still ends the wait", {{taking * 100, HandlerStep::kTaking, true}}},
    };
    for (const Case& c : cases) {
        HandlerWait wait(HandlerStep::kTaking, 0);
        for (const Tick& tick : c.ticks) {
            EXPECT_EQ(wait.Expired(tick.reached, tick.at_ms), tick.expired)
                << c.what << " at " << tick.at_ms;
        }
    }
    EXPECT_GT(gathering, taking);  // the minidump under Wine takes seconds
}

}  // namespace
}  // namespace sentry_lite
