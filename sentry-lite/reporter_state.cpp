#include "reporter_state.h"

#include <new>

namespace sentry_lite {

CrashContext ReporterState::Context() const {
    CrashContext context;
    context.event_id = event_id;
    context.dsn = dsn;
    context.release = release;
    context.environment = environment;
    context.installation_id = installation_id;
    context.os_version = os_version;
    context.session = session;
    context.tags = tags;
    return context;
}

void PublishedEnvelope::Publish(const ReporterState& state, const Lifecycle& lifecycle) {
    std::unique_ptr<PreparedEnvelope> fresh(new (std::nothrow) PreparedEnvelope());
    if (fresh == nullptr) {
        return;
    }
    try {
        *fresh = PrepareEnvelope(state.Context());
    } catch (const std::bad_alloc&) {
        return;
    }
    Publish(std::move(fresh), lifecycle);
}

void PublishedEnvelope::Publish(std::unique_ptr<PreparedEnvelope> fresh,
                                const Lifecycle& lifecycle) {
    PreparedEnvelope* replaced = current_.exchange(fresh.release());
    if (!lifecycle.Crashing()) {
        delete replaced;
    }
}

void PublishedEnvelope::Clear(const Lifecycle& lifecycle) {
    PreparedEnvelope* replaced = current_.exchange(nullptr);
    if (!lifecycle.Crashing()) {
        delete replaced;
    }
}

}  // namespace sentry_lite
