#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crash_context.h"

// What the lite crash reporter writes for a crash: one envelope per file, the crash
// reporting service's own format (a header line, then items, each a header line and exactly
// `length` bytes): an event, the session the crash ended, and the process's minidump.
//
// Everything known before the crash is formatted ahead (PrepareEnvelope). What only the crash
// knows (time, exception, stack, modules) is written at the crash into fixed-width fields and
// a buffer given in advance (crash_part.h), so the crash itself allocates nothing and takes no
// lock.
namespace sentry_lite {

// The envelope as prepared ahead. The event's payload is `event_head`, then the crash's own
// part (BeginCrashPart and the image calls), which ends the payload. The crash fills in the
// fixed-width fields in place (CompleteEnvelope) and writes, in order: header, event_item,
// event_head, the crash part, "\n", session (when not empty), then the minidump's attachment.
struct PreparedEnvelope {
    std::string header;      // the envelope's header line
    std::string event_item;  // the event item's header line; its length at event_length_at
    std::string event_head;  // the event's fields known ahead; its time at event_time_at
    std::string session;     // the session item (header and payload), or empty
    size_t event_length_at = 0;
    size_t event_time_at = 0;
    size_t session_time_at = 0;      // the session's "timestamp"
    size_t session_duration_at = 0;  // its "duration", kDurationWidth characters
    int64_t session_started_ms = 0;
};

// Each of the four texts is written into one block reserved ahead: this runs whenever the
// reporter's state is published.
PreparedEnvelope PrepareEnvelope(const CrashContext& context);

// Fills in the crash's time, the duration of the session and the event's length, given the
// size of the crash's part of the event. Allocates nothing.
void CompleteEnvelope(PreparedEnvelope& prepared, int64_t time_ms, size_t crash_part_size);

// The minidump item's header line, with the dump's size.
constexpr size_t kAttachmentHeaderCapacity = 160;
std::string AttachmentHeader(uint64_t dump_size);
// The same into a buffer without allocating; the line's length, 0 when it does not fit.
size_t WriteAttachmentHeader(uint64_t dump_size, char* out, size_t capacity);

// The envelope's text in the order it is written: header, event item, the event's head, the
// crash part, a line feed, the session and the attachment's header (empty pieces where there is
// none). The minidump's bytes and a line feed follow when there is an attachment.
struct Piece {
    const char* data;
    size_t size;
};
constexpr size_t kPieceCount = 7;
constexpr size_t kSessionPiece = 5;  // empty when the envelope ends no session
void EnvelopePieces(const PreparedEnvelope& prepared, const char* crash_part,
                    size_t crash_part_size, const char* attachment, size_t attachment_size,
                    Piece (&pieces)[kPieceCount]);

// The whole envelope in memory, completed for a crash at time_ms: as a crash writes it.
std::string FormatEnvelope(PreparedEnvelope prepared, int64_t time_ms, std::string_view crash_part,
                           const std::string* minidump);

}  // namespace sentry_lite
