#pragma once

#include <cstddef>
#include <string>

#include "crash_context.h"

// The line every envelope of the reporter starts with, and the reporter's name in it.
namespace sentry_lite {

// Name and version the envelopes give for the reporter that wrote them.
extern const char kSdkName[];
extern const char kSdkVersion[];

// The header line, its line feed included: the event's id when the envelope carries the event,
// the DSN when there is one, and the reporter's name. Its room, for reserving ahead.
void AppendEnvelopeHeader(std::string& out, const CrashContext& context, bool with_event_id);
size_t EnvelopeHeaderCapacity(const CrashContext& context);

}  // namespace sentry_lite
