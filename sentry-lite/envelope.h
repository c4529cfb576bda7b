#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// What the lite crash reporter writes for a crash: one envelope per file, the crash
// reporting service's own format (a header line, then items, each a header line and exactly
// `length` bytes): an event, the session the crash ended, and the process's minidump.
//
// Everything known before the crash is formatted ahead (PrepareEnvelope). What only the crash
// knows (time, exception, stack, modules) is written at the crash into fixed-width fields and
// a buffer given in advance, so the crash itself allocates nothing and takes no lock.
namespace sentry_lite {

enum class SessionStatus {
    kNone,  // never started, or ended before the crash: no session in the envelope
    kOpen,  // started and not ended: the crash ends it
};

struct Session {
    SessionStatus status = SessionStatus::kNone;
    std::string sid;         // a UUID
    int64_t started_ms = 0;  // milliseconds since 1970-01-01 00:00 UTC
};

// What the envelope says before the crash comes.
struct CrashContext {
    std::string event_id;  // a UUID
    std::optional<std::string> dsn;
    std::optional<std::string> release;
    std::optional<std::string> environment;
    std::string installation_id;  // the session's device and the event's user
    std::string os_version;       // major.minor.build
    Session session;
    std::map<std::string, std::string> tags;
};

// Name and version the envelopes give for the reporter that wrote them.
extern const char kSdkName[];
extern const char kSdkVersion[];

// The envelope as prepared ahead. The event's payload is `event_head`, then the crash's own
// part (WriteCrashPart and the image calls), which ends the payload. The crash fills in the
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

PreparedEnvelope PrepareEnvelope(const CrashContext& context);

// How a session ends in an envelope of its own: cleanly (sentry_end_session, sentry_shutdown),
// or unobserved (its run ended without an end and without a crash report naming it).
enum class SessionEndStatus { kExited, kAbnormal };

// The envelope that ends the context's open session at `ended_ms` with `status` (no errors,
// its duration): a header without an event, and one session item. Empty when no session is
// open.
std::string SessionEndEnvelope(const CrashContext& context, int64_t ended_ms,
                               SessionEndStatus status = SessionEndStatus::kExited);

// The same, written before the end is known: the time and the duration have a fixed width and
// are filled in later (CompleteSessionEnd), so what is kept ahead has its final length.
struct PreparedSessionEnd {
    std::string envelope;  // empty when no session is open
    size_t time_at = 0;
    size_t duration_at = 0;
    int64_t started_ms = 0;
};
PreparedSessionEnd PrepareSessionEnd(const CrashContext& context, SessionEndStatus status);
// An end before the start (a clock set back) gives a duration of 0.
void CompleteSessionEnd(PreparedSessionEnd& prepared, int64_t ended_ms);

// Fills in the crash's time, the duration of the session and the event's length, given the
// size of the crash's part of the event. Allocates nothing.
void CompleteEnvelope(PreparedEnvelope& prepared, int64_t time_ms, size_t crash_part_size);

// A text of fixed capacity, written at the crash: it never allocates. Appends that do not fit
// leave it marked as overflowed; callers roll back to a mark to drop a whole entry.
class FixedText {
  public:
    FixedText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void Append(const char* text);
    void Append(const char* text, size_t length);
    void AppendHex(uint64_t value);  // 0x and lower-case digits, no leading zeros
    void AppendDecimal(uint64_t value);
    // A JSON string literal of UTF-16 text, quotes included, as UTF-8; a lone surrogate
    // becomes U+FFFD.
    void AppendJsonUtf16(const uint16_t* text, size_t length);
    // A JSON string literal of UTF-8 text, quotes included; a byte that is not part of a valid
    // sequence becomes U+FFFD.
    void AppendJsonUtf8(const char* text, size_t length);

    size_t Size() const { return size_; }
    size_t Capacity() const { return capacity_; }
    bool Overflowed() const { return overflowed_; }
    size_t Mark() const { return size_; }
    void RollBack(size_t mark) {
        size_ = mark;
        overflowed_ = false;
    }
    const char* Data() const { return buffer_; }

  private:
    char* buffer_;
    size_t capacity_;
    size_t size_ = 0;
    bool overflowed_ = false;
};

// The registers the event shows, in this order.
constexpr size_t kRegisterCount = 17;
extern const char* const kRegisterNames[kRegisterCount];

// What the machine could tell of one frame, when the report is symbolised: the image that holds
// it and, where its symbols name one, the function.
struct FrameSymbol {
    uint64_t image_addr = 0;            // 0: in no image the reporter knows
    const uint16_t* package = nullptr;  // the image's path, UTF-16 as the loader keeps it
    size_t package_length = 0;          // 0: the path is not known
    const char* function = nullptr;     // UTF-8, or null when unnamed
    size_t function_length = 0;
    uint64_t symbol_addr = 0;  // where the function starts
};

struct CrashException {
    uint32_t code = 0;
    uint64_t address = 0;
    bool abort = false;  // abort() rather than an exception: code is what it is reported as
    // For an access violation: 0 read, 1 write, 8 execute, and the address it touched.
    bool has_access = false;
    uint64_t access_kind = 0;
    uint64_t access_address = 0;
    uint64_t registers[kRegisterCount] = {};
    // The crashed thread's frames, innermost first: frames[0] is where it crashed.
    const uint64_t* frames = nullptr;
    size_t frame_count = 0;
    // One per frame, in the frames' order, or null for frames given by address alone.
    const FrameSymbol* symbols = nullptr;
};

struct ImageInfo {
    uint64_t base = 0;
    uint32_t size = 0;
    uint32_t time_date_stamp = 0;
    const uint16_t* path = nullptr;  // UTF-16, as the loader keeps it
    size_t path_length = 0;
    // From the image's CodeView record, when it has one: the debug id's text and the path of
    // its debug file (UTF-8; length 0 when the record names none).
    const char* debug_id = nullptr;
    size_t debug_id_length = 0;
    const char* debug_file = nullptr;
    size_t debug_file_length = 0;
};

// The crash's part of the event: the exception with its stack, then the loaded images. Room
// for the closing brackets is kept back, so EndCrashPart always fits once BeginCrashPart did;
// an image that does not fit is left out.
constexpr size_t kCrashPartReserve = 64;
bool BeginCrashPart(FixedText& out, const CrashException& exception);
void AppendImage(FixedText& out, const ImageInfo& image, bool first);
void EndCrashPart(FixedText& out);

// How Windows names an exception code: "EXCEPTION_ACCESS_VIOLATION", or null when it has no
// name of its own.
const char* ExceptionName(uint32_t code);

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

// How many fixed-width characters the session's duration has: seconds with milliseconds,
// padded with spaces before the number so the JSON still reads as a number.
constexpr size_t kDurationWidth = 14;
constexpr size_t kLengthWidth = 10;

// Length of WriteUtcTime's text, and of a report file name's time stamp.
constexpr size_t kUtcTimeLength = 24;
constexpr size_t kFileStampLength = 19;

// ISO 8601 in UTC with milliseconds, and the stamp that starts a report file's name, written
// into a buffer of their length without allocating. Years outside 0 to 9999 are written as
// the nearest of the two.
void WriteUtcTime(int64_t unix_ms, char* out);
void WriteFileStamp(int64_t unix_ms, char* out);

// Milliseconds since 1970-01-01 00:00 UTC of a Windows file time (100 ns ticks since 1601,
// in its two halves), as the system clock and the folder listings give it.
int64_t UnixMillisecondsOfFileTime(uint32_t high, uint32_t low);

// A JSON string literal, quotes included. Texts are taken as UTF-8; a byte that is not part of
// a valid UTF-8 sequence becomes U+FFFD, so the envelope always parses.
std::string JsonString(const std::string& text);
// The same, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);
// Room enough for any text's literal: a byte takes at most six characters (\ufffd, \u001f),
// and the quotes two.
constexpr size_t JsonStringCapacity(std::string_view text) {
    return text.size() * 6 + 2;
}

// 2026-03-04T05:06:07.089Z.
std::string FormatUtcTime(int64_t unix_ms);

// A report's file name, unique for a crash of one process: 20260304T050607089Z-908.envelope.
// Names sort as the reports' ages.
std::string ReportFileName(int64_t unix_ms, uint32_t process_id);
// A session's clean end, beside them: 20260304T050607089Z-908-session.envelope.
std::string SessionEndFileName(int64_t unix_ms, uint32_t process_id);
// How those names end: every whole envelope, and a session's end among them.
constexpr std::string_view kEnvelopeSuffix = ".envelope";
constexpr std::string_view kSessionEndSuffix = "-session.envelope";

// A UUID's text (8-4-4-4-12 lower-case hexadecimal digits) of 16 random bytes, made a version 4
// UUID.
std::string UuidText(const unsigned char (&bytes)[16]);
// True for the text of any UUID: 8-4-4-4-12 hexadecimal digits, either case.
bool IsUuidText(std::string_view text);

}  // namespace sentry_lite
