#include "transports/send_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sentry_lite {
namespace {

// What the fakes were asked, in order: "post a", "remove a" (through the open file), "delete a"
// (the cap, by name), "wait 2000", "wait forever". Files are named by their stems: "a" is
// a.envelope in the folder.
using Log = std::vector<std::string>;
using Names = std::vector<std::string>;

struct FakeEnvelope {
    enum class Opens { kYes, kGone, kLocked };

    std::string name;
    Opens opens = Opens::kYes;
    bool read_only = false;
    uint64_t bytes = 100;
    bool read_fails = false;
    bool remove_fails = false;
};

FakeEnvelope File(const std::string& name) {
    return {name};
}
FakeEnvelope Gone(const std::string& name) {
    FakeEnvelope file{name};
    file.opens = FakeEnvelope::Opens::kGone;
    return file;
}
FakeEnvelope Locked(const std::string& name) {
    FakeEnvelope file{name};
    file.opens = FakeEnvelope::Opens::kLocked;
    return file;
}
FakeEnvelope ReadOnly(const std::string& name) {
    FakeEnvelope file{name};
    file.read_only = true;
    return file;
}
FakeEnvelope OfBytes(const std::string& name, uint64_t bytes) {
    FakeEnvelope file{name};
    file.bytes = bytes;
    return file;
}
FakeEnvelope Unreadable(const std::string& name) {
    FakeEnvelope file{name};
    file.read_fails = true;
    return file;
}
FakeEnvelope Unremovable(const std::string& name) {
    FakeEnvelope file{name};
    file.remove_fails = true;
    return file;
}

// Files age in the order they are added: names without a stamp go by their last write.
class FakeFolder final : public EnvelopeFolder {
  public:
    explicit FakeFolder(Log& log) : log_(log) {}

    void Add(const FakeEnvelope& file) {
        files_[file.name + ".envelope"] = {file, next_write_ms_++};
    }

    Names Left() const {
        Names stems;
        for (const auto& [name, entry] : files_) {
            if (entry.file.opens != FakeEnvelope::Opens::kGone) {
                stems.push_back(entry.file.name);
            }
        }
        return stems;
    }
    // The envelope held open now, empty for none.
    const std::string& OpenNow() const { return open_now_; }

    std::vector<PendingEnvelope> List() override {
        std::vector<PendingEnvelope> found;
        for (const auto& [name, entry] : files_) {
            found.push_back({name, entry.modified_ms});
        }
        return found;
    }

    std::unique_ptr<EnvelopeFile> Open(const std::string& name) override {
        const auto found = files_.find(name);
        if (found == files_.end() || found->second.file.opens != FakeEnvelope::Opens::kYes) {
            return nullptr;
        }
        return std::make_unique<OpenFile>(*this, found->second.file);
    }

    void Delete(const std::string& name) override {
        log_.push_back("delete " + files_.at(name).file.name);
        files_.erase(name);
    }

  private:
    class OpenFile final : public EnvelopeFile {
      public:
        OpenFile(FakeFolder& folder, const FakeEnvelope& file) : folder_(folder), file_(file) {
            EXPECT_EQ(folder_.open_now_, "") << "one envelope open at a time";
            folder_.open_now_ = file.name;
        }
        ~OpenFile() override { folder_.open_now_.clear(); }

        uint64_t Bytes() const override { return file_.bytes; }
        bool ReadOnly() const override { return file_.read_only; }
        bool Read(std::string& body) override {
            body = file_.name;
            return !file_.read_fails;
        }
        bool Remove() override {
            folder_.log_.push_back("remove " + file_.name);
            if (file_.remove_fails) {
                return false;
            }
            folder_.files_.erase(file_.name + ".envelope");
            return true;
        }

      private:
        FakeFolder& folder_;
        const FakeEnvelope file_;
    };

    struct Entry {
        FakeEnvelope file;
        int64_t modified_ms = 0;
    };

    Log& log_;
    std::map<std::string, Entry> files_;
    int64_t next_write_ms_ = 1;
    std::string open_now_;
};

class FakeTimer final : public SendTimer {
  public:
    explicit FakeTimer(Log& log) : log_(log) {}

    uint64_t now_ms = 1000000;
    // What each wait does in turn and whether it was woken; a wait beyond these fails.
    std::deque<std::function<bool()>> waits;

    uint64_t NowMs() override { return now_ms; }
    bool WaitForWake(uint32_t timeout_ms) override {
        log_.push_back(timeout_ms == kWaitForever ? "wait forever"
                                                  : "wait " + std::to_string(timeout_ms));
        if (waits.empty()) {
            // A loop that went on after a failed wait would wait for ever: end it here.
            if (failed_) {
                throw std::runtime_error("waited again after a wait failed");
            }
            failed_ = true;
            return false;
        }
        const std::function<bool()> wait = waits.front();
        waits.pop_front();
        return wait();
    }

  private:
    Log& log_;
    bool failed_ = false;
};

HttpOutcome Answer(int status) {
    HttpOutcome outcome;
    outcome.answered = true;
    outcome.status = status;
    return outcome;
}
const HttpOutcome kNoAnswer{};

// The body is the file's name; answers 200 once its list is spent.
class FakeTransport final : public Transport {
  public:
    FakeTransport(Log& log, const FakeFolder& folder, FakeTimer& timer)
        : log_(log), folder_(folder), timer_(timer) {}

    std::deque<HttpOutcome> answers;
    uint64_t post_ms = 0;  // how long a request takes on the fake clock

    HttpOutcome Post(std::string& body) override {
        EXPECT_EQ(folder_.OpenNow(), body) << "an envelope is held open while it is sent";
        log_.push_back("post " + body);
        timer_.now_ms += post_ms;
        if (answers.empty()) {
            return Answer(200);
        }
        const HttpOutcome answer = answers.front();
        answers.pop_front();
        return answer;
    }

  private:
    Log& log_;
    const FakeFolder& folder_;
    FakeTimer& timer_;
};

// One run's fakes and its loop.
struct Uploads {
    explicit Uploads(bool with_dsn = true)
        : loop(folder, with_dsn ? &transport : nullptr, timer, stop, held) {}

    Log log;
    FakeFolder folder{log};
    FakeTimer timer{log};
    FakeTransport transport{log, folder, timer};
    StopRequest stop;
    std::atomic<bool> held{false};
    SendLoop loop;

    void Add(const std::vector<FakeEnvelope>& files) {
        for (const FakeEnvelope& file : files) {
            folder.Add(file);
        }
    }
    Log TakeLog() { return std::exchange(log, {}); }
};

// Stems that sort the way they are made.
Names Numbered(const char* kind, int from, int count) {
    Names stems;
    for (int i = from; i < from + count; ++i) {
        stems.push_back(std::string(kind) + (i < 10 ? "0" : "") + std::to_string(i));
    }
    return stems;
}

struct PassCase {
    const char* what;
    std::vector<FakeEnvelope> files;  // oldest first
    std::vector<HttpOutcome> answers;
    bool held;
    Log pass;  // the first pass
    Names left;
    Log later;  // a pass after any rate limit is over: whether the run was stopped or halted
};

TEST(SendLoopPass, EachFileAndAnswerDecideWhetherThePassGoesOn) {
    const std::vector<PassCase> cases = {
        {"a 2xx removes the file and goes on",
         {File("a"), File("b")},
         {Answer(200), Answer(204)},
         false,
         {"post a", "remove a", "post b", "remove b"},
         {},
         {}},
        {"another 4xx removes the file, which will never be taken, and goes on",
         {File("a"), File("b")},
         {Answer(400), Answer(413)},
         false,
         {"post a", "remove a", "post b", "remove b"},
         {},
         {}},
        {"a 429 keeps the file and stops until the limit is over",
         {File("a"), File("b")},
         {Answer(429)},
         false,
         {"post a"},
         {"a", "b"},
         {"post a", "remove a", "post b", "remove b"}},
        {"a 5xx keeps the file and halts the run",
         {File("a"), File("b")},
         {Answer(503)},
         false,
         {"post a"},
         {"a", "b"},
         {}},
        {"no answer keeps the file and halts the run",
         {File("a"), File("b")},
         {kNoAnswer},
         false,
         {"post a"},
         {"a", "b"},
         {}},
        {"a file gone since the listing is passed over",
         {Gone("a"), File("b")},
         {},
         false,
         {"post b", "remove b"},
         {},
         {}},
        {"a file another process holds open is passed over",
         {Locked("a"), File("b")},
         {},
         false,
         {"post b", "remove b"},
         {"a"},
         {}},
        {"a read-only file, which could not be removed once sent, is passed over",
         {ReadOnly("a"), File("b")},
         {},
         false,
         {"post b", "remove b"},
         {"a"},
         {}},
        {"a file over the size limit is passed over",
         {OfBytes("a", kMaxEnvelopeBytes + 1), File("b")},
         {},
         false,
         {"post b", "remove b"},
         {"a"},
         {}},
        {"a file of the size limit is sent",
         {OfBytes("a", kMaxEnvelopeBytes)},
         {},
         false,
         {"post a", "remove a"},
         {},
         {}},
        {"a file that cannot be read is passed over",
         {Unreadable("a"), File("b")},
         {},
         false,
         {"post b", "remove b"},
         {"a"},
         {}},
        {"a file the server took that cannot be removed halts the run",
         {Unremovable("a"), File("b")},
         {},
         false,
         {"post a", "remove a"},
         {"a", "b"},
         {}},
        {"a crash holds the uploads before the post",
         {File("a"), File("b")},
         {},
         true,
         {},
         {"a", "b"},
         {}},
    };
    for (const PassCase& c : cases) {
        SCOPED_TRACE(c.what);
        Uploads run;
        run.Add(c.files);
        run.transport.answers.assign(c.answers.begin(), c.answers.end());
        run.held = c.held;
        run.loop.Pass(true);
        EXPECT_EQ(run.TakeLog(), c.pass);
        EXPECT_EQ(run.folder.Left(), c.left);
        EXPECT_EQ(run.folder.OpenNow(), "") << "closed once the pass is over";
        run.timer.now_ms += (kDefaultRetryAfterSeconds + 1) * 1000;
        run.loop.Pass(true);
        EXPECT_EQ(run.TakeLog(), c.later);
    }
}

TEST(SendLoopPass, TheCapRemovesTheOldestOfEachKindBeforeAnythingIsSent) {
    Uploads run;
    for (const std::string& name : Numbered("crash-", 0, kKeptEnvelopes + 2)) {
        run.Add({File(name)});
    }
    run.Add({File("z-session")});
    run.transport.answers = {Answer(503)};
    run.loop.Pass(true);
    EXPECT_EQ(run.TakeLog(), (Log{"delete crash-00", "delete crash-01", "post crash-02"}));
}

TEST(SendLoopPass, NoRunPostsMoreThanItsBudgetOverAllItsPasses) {
    Uploads run;
    const Names first = Numbered("a", 0, kSentPerRun - 3);
    for (const std::string& name : first) {
        run.Add({File(name)});
    }
    run.loop.Pass(true);
    for (const std::string& name : Numbered("b", 0, 5)) {
        run.Add({File(name)});
    }
    run.loop.Pass(true);
    const Log log = run.TakeLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) { return line.rfind("post ", 0) == 0; }),
              static_cast<long>(kSentPerRun));
    EXPECT_EQ(run.folder.Left(), (Names{"b03", "b04"}));
}

TEST(SendLoopPass, AfterTheStopNoRequestStartsAtOrPastTheDeadline) {
    struct Case {
        const char* what;
        bool stop;
        uint64_t post_ms;
        Names left;
    };
    const Case cases[] = {
        {"without a stop every envelope goes", false, 1500, {}},
        {"a request that starts before the deadline goes", true, 1500, {"c"}},
        {"none starts at the deadline", true, kStopPatienceMs / 2, {"c"}},
        {"quick requests all go", true, kStopPatienceMs / 3 - 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Uploads run;
        run.Add({File("a"), File("b"), File("c")});
        if (c.stop) {
            run.stop.Stop(run.timer.now_ms);
        }
        run.transport.post_ms = c.post_ms;
        run.loop.Pass(true);
        EXPECT_EQ(run.folder.Left(), c.left);
    }
}

TEST(SendLoopRun, WithoutADsnTheCapIsAppliedAtOnceAndNothingElse) {
    Uploads run(false);
    for (const std::string& name : Numbered("crash-", 0, kKeptEnvelopes + 1)) {
        run.Add({File(name)});
    }
    run.loop.Run();
    EXPECT_EQ(run.TakeLog(), Log{"delete crash-00"});
    run.loop.Pass(true);
    EXPECT_EQ(run.TakeLog(), Log{});
}

TEST(SendLoopRun, CapsAtOnceThenSendsAfterTheDelayAndOnEachWake) {
    Uploads run;
    for (const std::string& name : Numbered("crash-", 0, kKeptEnvelopes + 1)) {
        run.Add({File(name)});
    }
    run.transport.answers = {Answer(429)};
    run.timer.waits = {
        [] { return false; },  // the send delay runs out
        [&] {                  // woken once the rate limit is over
            run.timer.now_ms += (kDefaultRetryAfterSeconds + 1) * 1000;
            return true;
        },
    };
    run.loop.Run();
    EXPECT_EQ(run.TakeLog(),
              (Log{"delete crash-00", "wait 2000",       "post crash-01", "wait forever",
                   "post crash-01",   "remove crash-01", "post crash-02", "remove crash-02",
                   "post crash-03",   "remove crash-03", "post crash-04", "remove crash-04",
                   "post crash-05",   "remove crash-05", "post crash-06", "remove crash-06",
                   "post crash-07",   "remove crash-07", "post crash-08", "remove crash-08",
                   "post crash-09",   "remove crash-09"}))
        << "the budget spent, the thread ends without waiting again";
}

TEST(SendLoopRun, APassThatBeginsAfterTheStopIsTheLast) {
    struct Case {
        const char* what;
        std::function<void(Uploads&)> first_wait;
        Log log;
    };
    const std::vector<Case> cases = {
        {"the stop ends the send delay",
         [](Uploads& run) { run.stop.Stop(run.timer.now_ms); },
         {"wait 2000", "post a", "remove a"}},
        {"the stop comes after the first pass",
         [](Uploads&) {},
         {"wait 2000", "post a", "remove a", "wait forever", "post b", "remove b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Uploads run;
        run.Add({File("a")});
        run.timer.waits = {
            [&] {
                c.first_wait(run);
                return true;
            },
            [&] {
                run.Add({File("b")});
                run.stop.Stop(run.timer.now_ms);
                return true;
            },
            [] { return true; },
        };
        run.loop.Run();
        EXPECT_EQ(run.TakeLog(), c.log);
    }
}

TEST(SendLoopRun, AWaitThatFailsEndsTheThread) {
    Uploads run;
    run.Add({File("a")});
    run.timer.waits = {[] { return true; }};
    run.loop.Run();
    EXPECT_EQ(run.TakeLog(), (Log{"wait 2000", "post a", "remove a", "wait forever"}));
}

}  // namespace
}  // namespace sentry_lite
