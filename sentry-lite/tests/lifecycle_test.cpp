#include "lifecycle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "envelope.h"
#include "reporter_state.h"

// Present only in a build with the leak checker.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace sentry_lite {
namespace {

// Once a crash is taken no envelope is freed: a crashed process ends, this test's goes on, so
// what this thread allocates meanwhile is not a leak.
class CrashesKeepWhatTheyMayRead {
  public:
    CrashesKeepWhatTheyMayRead() {
        if (&__lsan_disable != nullptr) {
            __lsan_disable();
        }
    }
    ~CrashesKeepWhatTheyMayRead() {
        if (&__lsan_enable != nullptr) {
            __lsan_enable();
        }
    }
    CrashesKeepWhatTheyMayRead(const CrashesKeepWhatTheyMayRead&) = delete;
    CrashesKeepWhatTheyMayRead& operator=(const CrashesKeepWhatTheyMayRead&) = delete;
};

// Brings a lifecycle to `phase` through its own moves.
void Reach(Lifecycle& lifecycle, Phase phase) {
    if (phase == Phase::kIdle) {
        return;
    }
    ASSERT_TRUE(lifecycle.Start());
    if (phase == Phase::kStopping) {
        ASSERT_TRUE(lifecycle.BeginStop());
    } else if (phase == Phase::kCrashing) {
        ASSERT_EQ(lifecycle.TakeCrash(), Lifecycle::Take::kTaken);
    }
}

TEST(Lifecycle, MovesOnlyAlongItsEdges) {
    enum class Call { kStart, kBeginStop, kFinishStop, kTakeCrash };
    struct Case {
        Phase from;
        Call call;
        bool moved;
        Phase to;
    };
    const Case cases[] = {
        {Phase::kIdle, Call::kStart, true, Phase::kRunning},
        {Phase::kIdle, Call::kBeginStop, false, Phase::kIdle},
        {Phase::kIdle, Call::kFinishStop, false, Phase::kIdle},
        {Phase::kIdle, Call::kTakeCrash, false, Phase::kIdle},
        {Phase::kRunning, Call::kStart, false, Phase::kRunning},
        {Phase::kRunning, Call::kBeginStop, true, Phase::kStopping},
        {Phase::kRunning, Call::kFinishStop, false, Phase::kRunning},
        {Phase::kRunning, Call::kTakeCrash, true, Phase::kCrashing},
        // A shutdown under way still lets a crash be taken, and then cannot finish.
        {Phase::kStopping, Call::kTakeCrash, true, Phase::kCrashing},
        {Phase::kStopping, Call::kFinishStop, true, Phase::kIdle},
        {Phase::kStopping, Call::kBeginStop, false, Phase::kStopping},
        // A crash taken is the end: no shutdown begins or finishes, no second crash is taken.
        {Phase::kCrashing, Call::kBeginStop, false, Phase::kCrashing},
        {Phase::kCrashing, Call::kFinishStop, false, Phase::kCrashing},
        {Phase::kCrashing, Call::kTakeCrash, false, Phase::kCrashing},
        {Phase::kCrashing, Call::kStart, false, Phase::kCrashing},
    };
    for (const Case& c : cases) {
        Lifecycle lifecycle;
        Reach(lifecycle, c.from);
        bool moved = false;
        switch (c.call) {
            case Call::kStart:
                moved = lifecycle.Start();
                break;
            case Call::kBeginStop:
                moved = lifecycle.BeginStop();
                break;
            case Call::kFinishStop:
                moved = lifecycle.FinishStop();
                break;
            case Call::kTakeCrash:
                moved = lifecycle.TakeCrash() == Lifecycle::Take::kTaken;
                break;
        }
        EXPECT_EQ(moved, c.moved) << static_cast<int>(c.from) << " " << static_cast<int>(c.call);
        EXPECT_EQ(lifecycle.Now(), c.to)
            << static_cast<int>(c.from) << " " << static_cast<int>(c.call);
    }
}

TEST(Lifecycle, TellsASecondCrashFromOneWhileNothingRuns) {
    Lifecycle idle;
    EXPECT_EQ(idle.TakeCrash(), Lifecycle::Take::kNotRunning);
    Lifecycle crashing;
    Reach(crashing, Phase::kCrashing);
    EXPECT_EQ(crashing.TakeCrash(), Lifecycle::Take::kAlreadyCrashing);
}

// A shutdown and crashes on several threads at once: exactly one crash is taken, or none when
// the shutdown finished first, and never both a finished shutdown and a crash taken after the
// stop began.
TEST(Lifecycle, AShutdownAndCrashesRacingAgreeOnOneEnd) {
    for (int round = 0; round < 300; ++round) {
        Lifecycle lifecycle;
        ASSERT_TRUE(lifecycle.Start());
        std::atomic<int> taken{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> crashes;
        for (int i = 0; i < 3; ++i) {
            crashes.emplace_back([&] {
                while (!go.load()) {
                }
                if (lifecycle.TakeCrash() == Lifecycle::Take::kTaken) {
                    ++taken;
                }
            });
        }
        go = true;
        const bool began = lifecycle.BeginStop();
        const bool finished = began && lifecycle.FinishStop();
        for (std::thread& crash : crashes) {
            crash.join();
        }
        EXPECT_LE(taken.load(), 1);
        EXPECT_NE(finished, taken.load() == 1) << "round " << round;
        EXPECT_EQ(lifecycle.Now(), finished ? Phase::kIdle : Phase::kCrashing);
    }
}

TEST(SessionEndClaim, OneEndPerSession) {
    SessionEndClaim never_started;
    EXPECT_FALSE(never_started.Claim(SessionEnd::kCrashed));

    SessionEndClaim claim;
    claim.Open();
    EXPECT_TRUE(claim.Claim(SessionEnd::kExited));
    EXPECT_FALSE(claim.Claim(SessionEnd::kCrashed));
    EXPECT_EQ(claim.Now(), SessionEnd::kExited);
    claim.Open();  // the next session
    EXPECT_TRUE(claim.Claim(SessionEnd::kCrashed));
    EXPECT_FALSE(claim.Claim(SessionEnd::kExited));
}

TEST(SessionEndClaim, ACleanEndAndACrashRacingGiveOneEnd) {
    for (int round = 0; round < 300; ++round) {
        SessionEndClaim claim;
        claim.Open();
        bool exited = false;
        bool crashed = false;
        std::thread crash([&] { crashed = claim.Claim(SessionEnd::kCrashed); });
        exited = claim.Claim(SessionEnd::kExited);
        crash.join();
        EXPECT_NE(exited, crashed);
    }
}

TEST(HandlerClaim, TheFirstThreadHasTheWork) {
    HandlerClaim claim;
    EXPECT_FALSE(claim.HeldBy(7));
    EXPECT_TRUE(claim.Claim(7));
    EXPECT_FALSE(claim.Claim(9));
    EXPECT_TRUE(claim.HeldBy(7));
    EXPECT_FALSE(claim.HeldBy(9));
}

ReporterState StateWithTag(const std::string& value) {
    ReporterState state;
    state.event_id = "0123456789abcdef0123456789abcdef";
    state.installation_id = "00000000-0000-4000-8000-000000000000";
    state.tags["round"] = value;
    return state;
}

// The interface's thread goes on replacing the envelope while a crash, once taken, holds the
// one it read for the whole of its work: that one must never be freed under it
// (AddressSanitizer tells).
TEST(PublishedEnvelope, ACrashNeverReadsAFreedEnvelope) {
    const CrashesKeepWhatTheyMayRead leaks_allowed;
    for (int round = 0; round < 20; ++round) {
        Lifecycle lifecycle;
        ASSERT_TRUE(lifecycle.Start());
        PublishedEnvelope published;
        published.Publish(StateWithTag("first"), lifecycle);
        std::atomic<bool> done{false};
        size_t read = 0;
        std::thread crash([&] {
            ASSERT_EQ(lifecycle.TakeCrash(), Lifecycle::Take::kTaken);
            const PreparedEnvelope* before = published.Current();
            for (int i = 0; i < 2000; ++i) {
                // Through memcpy, which the sanitizer checks in every build; the string's own
                // calls may run in the uninstrumented standard library.
                unsigned char bytes[sizeof(PreparedEnvelope)];
                std::memcpy(bytes, before, sizeof bytes);
                read += bytes[0] + 1u;
                std::this_thread::yield();
            }
            done = true;
        });
        for (int i = 0; !done.load(); ++i) {
            published.Publish(StateWithTag(std::to_string(i)), lifecycle);
        }
        crash.join();
        EXPECT_GT(read, 0u);
    }
}

TEST(PublishedEnvelope, WithoutACrashTheNewestIsCurrent) {
    Lifecycle lifecycle;
    ASSERT_TRUE(lifecycle.Start());
    PublishedEnvelope published;
    EXPECT_EQ(published.Current(), nullptr);
    published.Publish(StateWithTag("one"), lifecycle);
    published.Publish(StateWithTag("two"), lifecycle);
    ASSERT_NE(published.Current(), nullptr);
    EXPECT_NE(published.Current()->event_head.find("\"two\""), std::string::npos);
    ASSERT_TRUE(lifecycle.BeginStop());
    ASSERT_TRUE(lifecycle.FinishStop());
    published.Clear(lifecycle);
    EXPECT_EQ(published.Current(), nullptr);
}

}  // namespace
}  // namespace sentry_lite
