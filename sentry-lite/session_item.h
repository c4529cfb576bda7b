#pragma once

#include <cstddef>
#include <string>

#include "crash_context.h"

// The session item, as a crash's envelope and a session's own end both carry it.
namespace sentry_lite {

// Where the session's time and duration were written, for filling in later.
struct SessionFields {
    size_t time_at = 0;
    size_t duration_at = 0;
};

// The context's session ending with `status` and `errors`: its header line, its payload and a
// line feed, with a time placeholder and the kDurationWidth characters of `duration`. The
// fields' places are offsets into `out`.
SessionFields AppendSessionItem(std::string& out, const CrashContext& context, const char* status,
                                int errors, const char* duration);
size_t SessionItemCapacity(const CrashContext& context);

}  // namespace sentry_lite
