#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Envelopes read back, as a later start finds them in the database folder: whether one was
// written to its end, and which session it carries.
namespace sentry_lite {

// The session an envelope carries, as far as a later start needs it: its id and its status.
struct EnvelopeSession {
    std::string sid;
    std::string status;
};
// Reads `size` bytes at `offset` into `out` and gives how many it read: fewer only at the end
// of the envelope or on a failure.
using ReadEnvelopeAt = std::function<size_t(uint64_t offset, char* out, size_t size)>;
// The first session item of an envelope, read item by item: the items before it (a crash's
// event, its minidump) are skipped by their lengths, never read. None when the envelope has no
// session item, is cut short before it, or the session has no "sid".
std::optional<EnvelopeSession> FindEnvelopeSession(const ReadEnvelopeAt& read);

// True when `data` is a whole envelope: a header line, then items, each a header line with a
// length and exactly that many bytes, each followed by a line feed (the last one's optional).
// A report cut short anywhere is not whole.
bool IsWholeEnvelope(const char* data, size_t size);

}  // namespace sentry_lite
