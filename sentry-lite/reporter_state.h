#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "envelope.h"
#include "lifecycle.h"

// The reporter's state between the calls of its interface, and the envelope a crash would
// write now. The interface's calls hold one mutex while they change the state; a crash takes
// no lock and reads only the published envelope.
namespace sentry_lite {

struct ReporterState {
    std::string event_id;
    std::optional<std::string> dsn;
    std::optional<std::string> release;
    std::optional<std::string> environment;
    std::string installation_id;
    std::string os_version;
    Session session;
    std::map<std::string, std::string> tags;

    CrashContext Context() const;
};

// The report as it would be written now, replaced whole when something in it changes. A crash
// marks itself (Lifecycle::TakeCrash) before it reads the envelope; a replaced one is freed only
// when no crash is marked after the exchange, so any crash to come reads the new one.
class PublishedEnvelope {
  public:
    PublishedEnvelope() = default;
    PublishedEnvelope(const PublishedEnvelope&) = delete;
    PublishedEnvelope& operator=(const PublishedEnvelope&) = delete;
    // Never freed at the process's end: a crash in another library's detach may still read it.
    ~PublishedEnvelope() = default;

    // Prepares the state's envelope and publishes it. On a failure (no memory) the one before
    // stays: a report a little out of date beats none.
    void Publish(const ReporterState& state, const Lifecycle& lifecycle);
    void Publish(std::unique_ptr<PreparedEnvelope> fresh, const Lifecycle& lifecycle);
    // For the crash that has been taken.
    PreparedEnvelope* Current() const { return current_.load(); }
    // Frees it, once no crash can come (a shutdown that finished).
    void Clear(const Lifecycle& lifecycle);

  private:
    std::atomic<PreparedEnvelope*> current_{nullptr};
};

}  // namespace sentry_lite
