#include "envelope.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

namespace sentry_lite {

namespace {

struct CivilTime {
    int64_t year;
    unsigned month, day, hour, minute, second, millisecond;
};

int64_t FloorDivide(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

// Days since 1970-01-01 to a proleptic Gregorian date, counted in 400-year eras.
CivilTime ToCivil(int64_t unix_ms) {
    const int64_t days = FloorDivide(unix_ms, 86400000);
    const int64_t in_day = unix_ms - days * 86400000;
    const int64_t shifted = days + 719468;
    const int64_t era = FloorDivide(shifted, 146097);
    const int64_t day_of_era = shifted - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_index = (5 * day_of_year + 2) / 153;
    CivilTime time{};
    time.day = static_cast<unsigned>(day_of_year - (153 * month_index + 2) / 5 + 1);
    time.month = static_cast<unsigned>(month_index < 10 ? month_index + 3 : month_index - 9);
    time.year = year_of_era + era * 400 + (time.month <= 2 ? 1 : 0);
    time.hour = static_cast<unsigned>(in_day / 3600000);
    time.minute = static_cast<unsigned>(in_day / 60000 % 60);
    time.second = static_cast<unsigned>(in_day / 1000 % 60);
    time.millisecond = static_cast<unsigned>(in_day % 1000);
    return time;
}

// The length of the valid UTF-8 sequence starting at `text[i]`, or 0 when it is not one:
// overlong forms, surrogates and values beyond U+10FFFF are not valid.
size_t Utf8SequenceLength(const char* text, size_t size, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > size || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void WriteDecimal(uint64_t value, size_t digits, char* out) {
    for (size_t i = digits; i > 0; --i) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void WriteHex(uint64_t value, size_t digits, char* out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = digits; i > 0; --i) {
        out[i - 1] = kDigits[value & 0xF];
        value >>= 4;
    }
}

// The civil time with the year held to the four digits the fixed-width texts have room for.
CivilTime ToFourDigitYear(int64_t unix_ms) {
    constexpr int64_t kFirstMs = -62167219200000;  // 0000-01-01T00:00:00.000Z
    constexpr int64_t kLastMs = 253402300799999;   // 9999-12-31T23:59:59.999Z
    return ToCivil(unix_ms < kFirstMs ? kFirstMs : unix_ms > kLastMs ? kLastMs : unix_ms);
}

constexpr char kTimePlaceholder[] = "0000-00-00T00:00:00.000Z";

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text.data(), text.size(), i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text.data() + i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0xF]};
            out.append(escaped, sizeof escaped);
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
}

std::string JsonString(const std::string& text) {
    std::string out;
    out.reserve(JsonStringCapacity(text));
    AppendJsonString(out, text);
    return out;
}

void WriteUtcTime(int64_t unix_ms, char* out) {
    const CivilTime t = ToFourDigitYear(unix_ms);
    std::memcpy(out, kTimePlaceholder, kUtcTimeLength);
    WriteDecimal(static_cast<uint64_t>(t.year), 4, out);
    WriteDecimal(t.month, 2, out + 5);
    WriteDecimal(t.day, 2, out + 8);
    WriteDecimal(t.hour, 2, out + 11);
    WriteDecimal(t.minute, 2, out + 14);
    WriteDecimal(t.second, 2, out + 17);
    WriteDecimal(t.millisecond, 3, out + 20);
}

void WriteFileStamp(int64_t unix_ms, char* out) {
    const CivilTime t = ToFourDigitYear(unix_ms);
    WriteDecimal(static_cast<uint64_t>(t.year), 4, out);
    WriteDecimal(t.month, 2, out + 4);
    WriteDecimal(t.day, 2, out + 6);
    out[8] = 'T';
    WriteDecimal(t.hour, 2, out + 9);
    WriteDecimal(t.minute, 2, out + 11);
    WriteDecimal(t.second, 2, out + 13);
    WriteDecimal(t.millisecond, 3, out + 15);
    out[18] = 'Z';
}

int64_t UnixMillisecondsOfFileTime(uint32_t high, uint32_t low) {
    constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;
    const auto ticks = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
    return (ticks - kTicksFrom1601To1970) / 10000;
}

std::string FormatUtcTime(int64_t unix_ms) {
    std::string text(kUtcTimeLength, '\0');
    WriteUtcTime(unix_ms, text.data());
    return text;
}

namespace {

std::string StampedName(int64_t unix_ms, uint32_t process_id, std::string_view suffix) {
    std::string name(kFileStampLength, '\0');
    WriteFileStamp(unix_ms, name.data());
    return name + "-" + std::to_string(process_id) + std::string(suffix);
}

}  // namespace

std::string ReportFileName(int64_t unix_ms, uint32_t process_id) {
    return StampedName(unix_ms, process_id, kEnvelopeSuffix);
}

std::string SessionEndFileName(int64_t unix_ms, uint32_t process_id) {
    return StampedName(unix_ms, process_id, kSessionEndSuffix);
}

const char kSdkName[] = "sentry.native.lite";
const char kSdkVersion[] = "1.5.27";

const char* const kRegisterNames[kRegisterCount] = {
    "rax", "rcx", "rdx", "rbx", "rbp", "rsi", "rdi", "r8",  "r9",
    "r10", "r11", "r12", "r13", "r14", "r15", "rsp", "rip",
};

namespace {

constexpr char kLengthPlaceholder[] = "         0";
static_assert(sizeof kLengthPlaceholder - 1 == kLengthWidth);

// A number right-aligned in a field of spaces: still a JSON number, of a width fixed ahead.
void WritePaddedDecimal(uint64_t value, size_t width, char* out) {
    size_t i = width;
    do {
        out[--i] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && i > 0);
    while (i > 0) {
        out[--i] = ' ';
    }
}

// Seconds with three decimals, right-aligned: "        12.345".
void WriteDuration(int64_t milliseconds, char* out) {
    const uint64_t ms = milliseconds < 0 ? 0 : static_cast<uint64_t>(milliseconds);
    WriteDecimal(ms % 1000, 3, out + kDurationWidth - 3);
    out[kDurationWidth - 4] = '.';
    WritePaddedDecimal(std::min<uint64_t>(ms / 1000, 999999999), kDurationWidth - 4, out);
}

struct NamedCode {
    uint32_t code;
    const char* name;
};

constexpr NamedCode kExceptionNames[] = {
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0x80000003, "EXCEPTION_BREAKPOINT"},
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
    {0x80000001, "EXCEPTION_GUARD_PAGE"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000008, "EXCEPTION_INVALID_HANDLE"},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
    {0x80000004, "EXCEPTION_SINGLE_STEP"},
    {0xC0000374, "STATUS_HEAP_CORRUPTION"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},
    {0x40000015, "STATUS_FATAL_APP_EXIT"},
};

// Room for the fixed text around the fields of a line or payload: its names, punctuation,
// times and numbers. Reserving it with the fields' own room writes each text into one block.
constexpr size_t kFixedRoom = 512;

void AppendDecimal(std::string& out, uint64_t value) {
    char digits[20];
    size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(digits + i, sizeof digits - i);
}

void AppendUtcTime(std::string& out, int64_t unix_ms) {
    char time[kUtcTimeLength];
    WriteUtcTime(unix_ms, time);
    out.append(time, sizeof time);
}

void AppendOptionalField(std::string& out, const char* name,
                         const std::optional<std::string>& value) {
    if (value) {
        out += ",\"";
        out += name;
        out += "\":";
        AppendJsonString(out, *value);
    }
}

size_t OptionalCapacity(const std::optional<std::string>& value) {
    return value ? JsonStringCapacity(*value) : 0;
}

// Where the session's time and duration were written, for filling in later.
struct SessionFields {
    size_t time_at = 0;
    size_t duration_at = 0;
};

size_t SessionCapacity(const CrashContext& context) {
    return kFixedRoom + JsonStringCapacity(context.session.sid) +
           JsonStringCapacity(context.installation_id) + OptionalCapacity(context.release) +
           OptionalCapacity(context.environment);
}

// The session's payload, with the time and duration texts as given.
SessionFields AppendSessionPayload(std::string& out, const CrashContext& context,
                                   const char* status, int errors, const char* duration) {
    SessionFields fields;
    out += "{\"sid\":";
    AppendJsonString(out, context.session.sid);
    if (!context.installation_id.empty()) {
        out += ",\"did\":";
        AppendJsonString(out, context.installation_id);
    }
    // Only the end of a session is sent, so its one update is always the first.
    out += ",\"init\":true,\"started\":\"";
    AppendUtcTime(out, context.session.started_ms);
    out += "\",\"timestamp\":\"";
    fields.time_at = out.size();
    out.append(kTimePlaceholder, kUtcTimeLength);
    out += "\",\"status\":\"";
    out += status;
    out += "\",\"errors\":";
    AppendDecimal(out, static_cast<uint64_t>(errors));
    out += ",\"duration\":";
    fields.duration_at = out.size();
    out.append(duration, kDurationWidth);
    out += ",\"attrs\":{\"release\":";
    AppendJsonString(out, context.release ? std::string_view(*context.release) : "");
    AppendOptionalField(out, "environment", context.environment);
    out += "}}";
    return fields;
}

// The session item, its header line, payload and line feed; the fields' places are in `out`.
// The header's length is known only once the payload is written, so the payload goes first
// and the line is put in front of it, within the room already reserved.
SessionFields AppendSessionItem(std::string& out, const CrashContext& context, const char* status,
                                int errors, const char* duration) {
    const size_t item_at = out.size();
    SessionFields fields = AppendSessionPayload(out, context, status, errors, duration);
    char header[64];
    FixedText text(header, sizeof header);
    text.Append("{\"type\":\"session\",\"length\":");
    text.AppendDecimal(out.size() - item_at);
    text.Append("}\n");
    out.insert(item_at, text.Data(), text.Size());
    out += '\n';
    fields.time_at += text.Size();
    fields.duration_at += text.Size();
    return fields;
}

size_t EnvelopeHeaderCapacity(const CrashContext& context) {
    return kFixedRoom + JsonStringCapacity(context.event_id) + OptionalCapacity(context.dsn);
}

void AppendEnvelopeHeader(std::string& out, const CrashContext& context, bool with_event_id) {
    out += '{';
    if (with_event_id) {
        out += "\"event_id\":";
        AppendJsonString(out, context.event_id);
        out += ',';
    }
    if (context.dsn && !context.dsn->empty()) {
        out += "\"dsn\":";
        AppendJsonString(out, *context.dsn);
        out += ',';
    }
    out += "\"sdk\":{\"name\":\"";
    out += kSdkName;
    out += "\",\"version\":\"";
    out += kSdkVersion;
    out += "\"}}\n";
}

size_t EventHeadCapacity(const CrashContext& context) {
    size_t capacity = kFixedRoom + JsonStringCapacity(context.event_id) +
                      OptionalCapacity(context.release) + OptionalCapacity(context.environment) +
                      JsonStringCapacity(context.installation_id) +
                      JsonStringCapacity(context.os_version);
    for (const auto& [key, value] : context.tags) {
        capacity += JsonStringCapacity(key) + JsonStringCapacity(value) + 2;
    }
    return capacity;
}

void AppendTags(std::string& out, const std::map<std::string, std::string>& tags) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : tags) {
        if (!first) {
            out += ',';
        }
        first = false;
        AppendJsonString(out, key);
        out += ':';
        AppendJsonString(out, value);
    }
    out += '}';
}

// The event's fields known ahead; gives where its time goes.
size_t AppendEventHead(std::string& out, const CrashContext& context) {
    out += "{\"event_id\":";
    AppendJsonString(out, context.event_id);
    out += ",\"platform\":\"native\",\"level\":\"fatal\"";
    AppendOptionalField(out, "release", context.release);
    AppendOptionalField(out, "environment", context.environment);
    out += ",\"sdk\":{\"name\":\"";
    out += kSdkName;
    out += "\",\"version\":\"";
    out += kSdkVersion;
    out += "\",\"integrations\":[\"lite\"]}";
    if (!context.installation_id.empty()) {
        out += ",\"user\":{\"id\":";
        AppendJsonString(out, context.installation_id);
        out += '}';
    }
    out += ",\"tags\":";
    AppendTags(out, context.tags);
    out += ",\"contexts\":{\"os\":{\"name\":\"Windows\"";
    if (!context.os_version.empty()) {
        out += ",\"kernel_version\":";
        AppendJsonString(out, context.os_version);
    }
    out += "}},\"timestamp\":\"";
    const size_t time_at = out.size();
    out.append(kTimePlaceholder, kUtcTimeLength);
    out += '"';
    return time_at;
}

// Reads the decimal length of an item's header line, or gives false when it has none.
bool ItemLength(const char* line, size_t size, uint64_t& length) {
    static constexpr char kKey[] = "\"length\":";
    const std::string_view text(line, size);
    const size_t at = text.find(kKey);
    if (at == std::string_view::npos) {
        return false;
    }
    size_t i = at + sizeof kKey - 1;
    while (i < size && line[i] == ' ') {
        ++i;
    }
    size_t digits = 0;
    length = 0;
    for (; i < size && line[i] >= '0' && line[i] <= '9' && digits < 15; ++i, ++digits) {
        length = length * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    return digits > 0 && (i == size || line[i] == ',' || line[i] == '}' || line[i] == ' ');
}

}  // namespace

std::string UuidText(const unsigned char (&bytes)[16]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < 16; ++i) {
        unsigned char byte = bytes[i];
        if (i == 6) {
            byte = static_cast<unsigned char>((byte & 0x0F) | 0x40);  // version 4
        } else if (i == 8) {
            byte = static_cast<unsigned char>((byte & 0x3F) | 0x80);  // the RFC's variant
        }
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

bool IsUuidText(std::string_view text) {
    constexpr size_t kUuidLength = 36;
    if (text.size() != kUuidLength) {
        return false;
    }
    for (size_t i = 0; i < kUuidLength; ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex) {
            return false;
        }
    }
    return true;
}

const char* ExceptionName(uint32_t code) {
    for (const NamedCode& named : kExceptionNames) {
        if (named.code == code) {
            return named.name;
        }
    }
    return nullptr;
}

PreparedEnvelope PrepareEnvelope(const CrashContext& context) {
    PreparedEnvelope prepared;
    prepared.header.reserve(EnvelopeHeaderCapacity(context));
    AppendEnvelopeHeader(prepared.header, context, true);

    static constexpr char kEventItemStart[] = "{\"type\":\"event\",\"length\":";
    std::string& item = prepared.event_item;
    item.reserve(sizeof kEventItemStart + kLengthWidth + 2);
    item = kEventItemStart;
    prepared.event_length_at = item.size();
    item += kLengthPlaceholder;
    item += "}\n";

    prepared.event_head.reserve(EventHeadCapacity(context));
    prepared.event_time_at = AppendEventHead(prepared.event_head, context);

    if (context.session.status == SessionStatus::kOpen) {
        // The time and the duration keep their width whatever they hold, so the length is
        // known now.
        static constexpr char kZeros[] = "00000000000000";
        static_assert(sizeof kZeros - 1 == kDurationWidth);
        prepared.session.reserve(SessionCapacity(context));
        const SessionFields fields =
            AppendSessionItem(prepared.session, context, "crashed", 1, kZeros);
        prepared.session_time_at = fields.time_at;
        prepared.session_duration_at = fields.duration_at;
        prepared.session_started_ms = context.session.started_ms;
    }
    return prepared;
}

namespace {

const char* StatusText(SessionEndStatus status) {
    return status == SessionEndStatus::kAbnormal ? "abnormal" : "exited";
}

}  // namespace

PreparedSessionEnd PrepareSessionEnd(const CrashContext& context, SessionEndStatus status) {
    PreparedSessionEnd prepared;
    if (context.session.status != SessionStatus::kOpen) {
        return prepared;
    }
    // Valid JSON even before it is completed.
    char zero[kDurationWidth];
    WriteDuration(0, zero);
    std::string& text = prepared.envelope;
    text.reserve(EnvelopeHeaderCapacity(context) + SessionCapacity(context));
    AppendEnvelopeHeader(text, context, false);
    const SessionFields fields = AppendSessionItem(text, context, StatusText(status), 0, zero);
    prepared.time_at = fields.time_at;
    prepared.duration_at = fields.duration_at;
    prepared.started_ms = context.session.started_ms;
    return prepared;
}

void CompleteSessionEnd(PreparedSessionEnd& prepared, int64_t ended_ms) {
    std::string& text = prepared.envelope;
    if (prepared.time_at + kUtcTimeLength > text.size() ||
        prepared.duration_at + kDurationWidth > text.size()) {
        return;
    }
    WriteUtcTime(ended_ms, text.data() + prepared.time_at);
    WriteDuration(ended_ms - prepared.started_ms, text.data() + prepared.duration_at);
}

std::string SessionEndEnvelope(const CrashContext& context, int64_t ended_ms,
                               SessionEndStatus status) {
    PreparedSessionEnd prepared = PrepareSessionEnd(context, status);
    CompleteSessionEnd(prepared, ended_ms);
    return std::move(prepared.envelope);
}

void CompleteEnvelope(PreparedEnvelope& prepared, int64_t time_ms, size_t crash_part_size) {
    WriteUtcTime(time_ms, prepared.event_head.data() + prepared.event_time_at);
    WritePaddedDecimal(prepared.event_head.size() + crash_part_size, kLengthWidth,
                       prepared.event_item.data() + prepared.event_length_at);
    if (!prepared.session.empty()) {
        char* session = prepared.session.data();
        WriteUtcTime(time_ms, session + prepared.session_time_at);
        WriteDuration(time_ms - prepared.session_started_ms,
                      session + prepared.session_duration_at);
    }
}

void FixedText::Append(const char* text, size_t length) {
    if (overflowed_ || length > capacity_ - size_) {
        overflowed_ = true;
        return;
    }
    std::memcpy(buffer_ + size_, text, length);
    size_ += length;
}

void FixedText::Append(const char* text) {
    Append(text, std::strlen(text));
}

void FixedText::AppendHex(uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char digits[18];
    size_t i = sizeof digits;
    do {
        digits[--i] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    digits[--i] = 'x';
    digits[--i] = '0';
    Append(digits + i, sizeof digits - i);
}

void FixedText::AppendDecimal(uint64_t value) {
    char digits[20];
    size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Append(digits + i, sizeof digits - i);
}

void FixedText::AppendJsonUtf16(const uint16_t* text, size_t length) {
    Append("\"", 1);
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        char out[6];
        size_t n = 0;
        if (c == '"' || c == '\\') {
            out[n++] = '\\';
            out[n++] = static_cast<char>(c);
        } else if (c < 0x20) {
            static constexpr char kDigits[] = "0123456789abcdef";
            Append("\\u00", 4);
            out[n++] = kDigits[c >> 4];
            out[n++] = kDigits[c & 0xF];
        } else if (c < 0x80) {
            out[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[n++] = static_cast<char>(0xC0 | (c >> 6));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[n++] = static_cast<char>(0xE0 | (c >> 12));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xF0 | (c >> 18));
            out[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        Append(out, n);
    }
    Append("\"", 1);
}

void FixedText::AppendJsonUtf8(const char* text, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    Append("\"", 1);
    for (size_t i = 0; i < length;) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t sequence = Utf8SequenceLength(text, length, i);
        if (sequence == 0) {
            Append("\xEF\xBF\xBD", 3);
            ++i;
            continue;
        }
        if (sequence > 1) {
            Append(text + i, sequence);
        } else if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            Append(escaped, 2);
        } else if (c < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0xF]};
            Append(escaped, 6);
        } else {
            Append(text + i, 1);
        }
        i += sequence;
    }
    Append("\"", 1);
}

namespace {

// The fields the SDK gives a frame it symbolised: the image, and the function where known.
void AppendFrameSymbol(FixedText& out, const FrameSymbol& symbol) {
    if (symbol.image_addr == 0) {
        return;
    }
    if (symbol.package_length > 0) {
        out.Append(",\"package\":");
        out.AppendJsonUtf16(symbol.package, symbol.package_length);
    }
    out.Append(",\"image_addr\":\"");
    out.AppendHex(symbol.image_addr);
    out.Append("\"");
    if (symbol.function != nullptr && symbol.function_length > 0) {
        out.Append(",\"function\":");
        out.AppendJsonUtf8(symbol.function, symbol.function_length);
        out.Append(",\"symbol_addr\":\"");
        out.AppendHex(symbol.symbol_addr);
        out.Append("\"");
    }
}

void AppendCodeHex(FixedText& out, uint32_t code) {
    char hex[11] = "0x";
    WriteHex(code, 8, hex + 2);
    out.Append(hex, 10);
}

// What the crash is called: Windows' name for its code, refined for an access violation by
// what was being done, as a debugger shows it.
void AppendExceptionType(FixedText& out, const CrashException& exception) {
    if (exception.abort) {
        out.Append("SIGABRT");
        return;
    }
    const char* name = ExceptionName(exception.code);
    if (name == nullptr) {
        AppendCodeHex(out, exception.code);
        return;
    }
    out.Append(name);
    if (exception.code == 0xC0000005 && exception.has_access) {
        out.Append(exception.access_kind == 1   ? "_WRITE"
                   : exception.access_kind == 8 ? "_EXEC"
                                                : "_READ");
    }
}

}  // namespace

bool BeginCrashPart(FixedText& out, const CrashException& exception) {
    out.Append(",\"exception\":{\"values\":[{\"type\":\"");
    AppendExceptionType(out, exception);
    out.Append("\",\"value\":\"");
    if (exception.abort) {
        out.Append("abort() was called at ");
        out.AppendHex(exception.address);
    } else {
        out.Append("Fatal Error: ");
        AppendExceptionType(out, exception);
        out.Append(" at ");
        out.AppendHex(exception.address);
        if (exception.code == 0xC0000005 && exception.has_access) {
            out.Append(exception.access_kind == 1   ? ", writing "
                       : exception.access_kind == 8 ? ", executing "
                                                    : ", reading ");
            out.AppendHex(exception.access_address);
        }
    }
    out.Append(
        "\",\"mechanism\":{\"type\":\"signalhandler\",\"synthetic\":true,"
        "\"handled\":false,\"meta\":{\"signal\":{\"name\":\"");
    if (exception.abort) {
        out.Append("SIGABRT\",\"number\":22");
    } else {
        AppendExceptionType(out, exception);
        out.Append("\",\"number\":");
        out.AppendDecimal(exception.code);
    }
    out.Append("}}},\"stacktrace\":{\"frames\":[");
    // The service lists a stack from its outermost caller down to the crash.
    for (size_t i = exception.frame_count; i > 0; --i) {
        out.Append(i == exception.frame_count ? "{\"instruction_addr\":\""
                                              : ",{\"instruction_addr\":\"");
        out.AppendHex(exception.frames[i - 1]);
        out.Append("\"");
        if (exception.symbols != nullptr) {
            AppendFrameSymbol(out, exception.symbols[i - 1]);
        }
        out.Append("}");
    }
    out.Append("],\"registers\":{");
    for (size_t i = 0; i < kRegisterCount; ++i) {
        out.Append(i == 0 ? "\"" : ",\"");
        out.Append(kRegisterNames[i]);
        out.Append("\":\"");
        out.AppendHex(exception.registers[i]);
        out.Append("\"");
    }
    out.Append("}}}]},\"debug_meta\":{\"images\":[");
    return !out.Overflowed() && out.Size() + kCrashPartReserve <= out.Capacity();
}

void AppendImage(FixedText& out, const ImageInfo& image, bool first) {
    const size_t mark = out.Mark();
    out.Append(first ? "{\"type\":\"pe\",\"arch\":\"x86_64\",\"image_addr\":\""
                     : ",{\"type\":\"pe\",\"arch\":\"x86_64\",\"image_addr\":\"");
    out.AppendHex(image.base);
    out.Append("\",\"image_size\":");
    out.AppendDecimal(image.size);
    out.Append(",\"code_file\":");
    out.AppendJsonUtf16(image.path, image.path_length);
    // The code identifier of a PE image: its link time stamp and size, as symbol servers
    // key them.
    char code_id[17];
    WriteHex(image.time_date_stamp, 8, code_id);
    size_t size_digits = 1;
    for (uint32_t rest = image.size >> 4; rest != 0; rest >>= 4) {
        ++size_digits;
    }
    WriteHex(image.size, size_digits, code_id + 8);
    out.Append(",\"code_id\":\"");
    out.Append(code_id, 8 + size_digits);
    out.Append("\"");
    // What the service finds the image's debug file by; none is ever made up.
    if (image.debug_id != nullptr && image.debug_id_length > 0) {
        out.Append(",\"debug_id\":\"");
        out.Append(image.debug_id, image.debug_id_length);
        out.Append("\"");
        if (image.debug_file != nullptr && image.debug_file_length > 0) {
            out.Append(",\"debug_file\":");
            out.AppendJsonUtf8(image.debug_file, image.debug_file_length);
        }
    }
    out.Append("}");
    if (out.Overflowed() || out.Size() + kCrashPartReserve > out.Capacity()) {
        out.RollBack(mark);
    }
}

void EndCrashPart(FixedText& out) {
    out.Append("]}}");
}

size_t WriteAttachmentHeader(uint64_t dump_size, char* out, size_t capacity) {
    FixedText text(out, capacity);
    text.Append("{\"type\":\"attachment\",\"length\":");
    text.AppendDecimal(dump_size);
    text.Append(",\"filename\":\"minidump.dmp\",\"attachment_type\":\"event.minidump\"}\n");
    return text.Overflowed() ? 0 : text.Size();
}

std::string AttachmentHeader(uint64_t dump_size) {
    char line[kAttachmentHeaderCapacity];
    return std::string(line, WriteAttachmentHeader(dump_size, line, sizeof line));
}

void EnvelopePieces(const PreparedEnvelope& prepared, const char* crash_part,
                    size_t crash_part_size, const char* attachment, size_t attachment_size,
                    Piece (&pieces)[kPieceCount]) {
    pieces[0] = {prepared.header.data(), prepared.header.size()};
    pieces[1] = {prepared.event_item.data(), prepared.event_item.size()};
    pieces[2] = {prepared.event_head.data(), prepared.event_head.size()};
    pieces[3] = {crash_part, crash_part_size};
    pieces[4] = {"\n", 1};
    pieces[5] = {prepared.session.data(), prepared.session.size()};
    pieces[6] = {attachment, attachment_size};
}

std::string FormatEnvelope(PreparedEnvelope prepared, int64_t time_ms, std::string_view crash_part,
                           const std::string* minidump) {
    CompleteEnvelope(prepared, time_ms, crash_part.size());
    char attachment[kAttachmentHeaderCapacity];
    const size_t attachment_size =
        minidump != nullptr ? WriteAttachmentHeader(minidump->size(), attachment, sizeof attachment)
                            : 0;
    Piece pieces[kPieceCount];
    EnvelopePieces(prepared, crash_part.data(), crash_part.size(), attachment, attachment_size,
                   pieces);
    size_t size = minidump != nullptr ? minidump->size() + 1 : 0;
    for (const Piece& piece : pieces) {
        size += piece.size;
    }
    std::string text;
    text.reserve(size);
    for (const Piece& piece : pieces) {
        text.append(piece.data, piece.size);
    }
    if (minidump != nullptr) {
        text += *minidump;
        text += '\n';
    }
    return text;
}

namespace {

// Bounds on what a later start reads of an envelope to find its session: this writer's lines
// are far shorter, and a file that is not one of its envelopes is given up on early.
constexpr size_t kMaxLineLength = 64 * 1024;
constexpr size_t kMaxSessionLength = 64 * 1024;

// The line at `offset`, without its line feed; false when no line feed comes within the bound.
bool ReadLine(const ReadEnvelopeAt& read, uint64_t offset, std::string& line) {
    line.clear();
    char chunk[512];
    while (line.size() < kMaxLineLength) {
        const size_t got = read(offset + line.size(), chunk, sizeof chunk);
        const void* end = std::memchr(chunk, '\n', got);
        if (end != nullptr) {
            line.append(chunk, static_cast<size_t>(static_cast<const char*>(end) - chunk));
            return true;
        }
        if (got == 0) {
            return false;
        }
        line.append(chunk, got);
    }
    return false;
}

// A string field's value in a flat JSON object ("name":"value", with any spaces around the
// colon), escapes left as they are.
std::optional<std::string> StringField(std::string_view json, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\"";
    for (size_t at = json.find(key); at != std::string_view::npos; at = json.find(key, at + 1)) {
        size_t i = at + key.size();
        const auto skip_spaces = [&] {
            while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) {
                ++i;
            }
        };
        skip_spaces();
        if (i >= json.size() || json[i] != ':') {
            continue;  // the name was a value
        }
        ++i;
        skip_spaces();
        if (i >= json.size() || json[i] != '"') {
            return std::nullopt;
        }
        const size_t end = json.find('"', i + 1);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        return std::string(json.substr(i + 1, end - i - 1));
    }
    return std::nullopt;
}

}  // namespace

std::optional<EnvelopeSession> FindEnvelopeSession(const ReadEnvelopeAt& read) {
    std::string line;
    if (!ReadLine(read, 0, line)) {
        return std::nullopt;
    }
    uint64_t pos = line.size() + 1;
    while (ReadLine(read, pos, line)) {
        uint64_t length = 0;
        if (line.empty() || line[0] != '{' || !ItemLength(line.data(), line.size(), length)) {
            return std::nullopt;
        }
        pos += line.size() + 1;
        if (StringField(line, "type") == "session") {
            if (length > kMaxSessionLength) {
                return std::nullopt;
            }
            std::string payload(static_cast<size_t>(length), '\0');
            if (read(pos, payload.data(), payload.size()) != payload.size()) {
                return std::nullopt;
            }
            std::optional<std::string> sid = StringField(payload, "sid");
            if (!sid) {
                return std::nullopt;
            }
            return EnvelopeSession{std::move(*sid), StringField(payload, "status").value_or("")};
        }
        pos += length + 1;
    }
    return std::nullopt;
}

bool IsWholeEnvelope(const char* data, size_t size) {
    const auto line_end = [&](size_t from) {
        const void* found = from < size ? std::memchr(data + from, '\n', size - from) : nullptr;
        return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - data)
                                : size;
    };
    size_t end = line_end(0);
    if (end == size || end == 0 || data[0] != '{') {
        return false;
    }
    size_t pos = end + 1;
    size_t items = 0;
    while (pos < size) {
        end = line_end(pos);
        uint64_t length = 0;
        if (end == size || data[pos] != '{' || !ItemLength(data + pos, end - pos, length)) {
            return false;
        }
        pos = end + 1;
        if (length > size - pos) {
            return false;
        }
        pos += static_cast<size_t>(length);
        if (pos < size) {
            if (data[pos] != '\n') {
                return false;
            }
            ++pos;
        }
        ++items;
    }
    return items > 0;
}

}  // namespace sentry_lite
