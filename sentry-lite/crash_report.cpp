#include "crash_report.h"

#include <cstdio>
#include <cstring>
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
size_t Utf8SequenceLength(const std::string& text, size_t i) {
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
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
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

constexpr char kCodePlaceholder[] = "0x00000000";
constexpr char kAddressPlaceholder[] = "0x0000000000000000";
constexpr char kTimePlaceholder[] = "0000-00-00T00:00:00.000Z";

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
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
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
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

std::string FormatUtcTime(int64_t unix_ms) {
    std::string text(kUtcTimeLength, '\0');
    WriteUtcTime(unix_ms, text.data());
    return text;
}

std::string ReportFileName(int64_t unix_ms, uint32_t process_id) {
    std::string name(kFileStampLength, '\0');
    WriteFileStamp(unix_ms, name.data());
    return name + "-" + std::to_string(process_id) + ".json";
}

std::string FormatCrashReport(const CrashReport& report) {
    PreparedReport prepared = PrepareCrashReport(report);
    CompleteCrashReport(prepared, report.time_ms, report.exception_code, report.exception_address);
    return std::move(prepared.text);
}

void CompleteCrashReport(PreparedReport& prepared, int64_t time_ms, uint32_t code,
                         uint64_t address) {
    char* text = prepared.text.data();
    WriteUtcTime(time_ms, text + prepared.time_at);
    WriteHex(code, 8, text + prepared.code_at);
    WriteHex(address, 16, text + prepared.address_at);
}

PreparedReport PrepareCrashReport(const CrashReport& report) {
    const auto optional_string = [](const std::optional<std::string>& text) {
        return text ? JsonString(*text) : std::string("null");
    };
    PreparedReport prepared;
    std::string& out = prepared.text;
    out = "{\n  \"timestamp\": \"";
    prepared.time_at = out.size();
    out += kTimePlaceholder;
    out += "\",\n";
    out += "  \"release\": " + optional_string(report.release) + ",\n";
    out += "  \"environment\": " + optional_string(report.environment) + ",\n";
    out += "  \"exception\": {\n";
    out += "    \"code\": \"0x";
    prepared.code_at = out.size();
    out += kCodePlaceholder + 2;
    out += "\",\n    \"address\": \"0x";
    prepared.address_at = out.size();
    out += kAddressPlaceholder + 2;
    out += "\"\n  },\n";
    if (report.session.status == SessionStatus::kNone) {
        out += "  \"session\": null,\n";
    } else {
        const char* status = report.session.status == SessionStatus::kOpen ? "crashed" : "exited";
        out += "  \"session\": {\n";
        out += std::string("    \"status\": \"") + status + "\",\n";
        out += "    \"started\": " + JsonString(FormatUtcTime(report.session.started_ms)) + "\n";
        out += "  },\n";
    }
    out += "  \"tags\": {";
    const char* separator = "\n";
    for (const auto& [key, value] : report.tags) {
        out += separator;
        out += "    " + JsonString(key) + ": " + JsonString(value);
        separator = ",\n";
    }
    out += report.tags.empty() ? "}\n" : "\n  }\n";
    out += "}\n";
    return prepared;
}

}  // namespace sentry_lite
