#include "utc_time.h"

#include <cstring>

#include "fixed_fields.h"

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

// The civil time with the year held to the four digits the fixed-width texts have room for.
CivilTime ToFourDigitYear(int64_t unix_ms) {
    constexpr int64_t kFirstMs = -62167219200000;  // 0000-01-01T00:00:00.000Z
    constexpr int64_t kLastMs = 253402300799999;   // 9999-12-31T23:59:59.999Z
    return ToCivil(unix_ms < kFirstMs ? kFirstMs : unix_ms > kLastMs ? kLastMs : unix_ms);
}

// Two digits from a table: the queue writes a stamp for every file without one in its name at
// every pass, and this keeps each a few stores.
void WriteTwoDigits(unsigned value, char* out) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::memcpy(out, kPairs + 2 * (value % 100), 2);
}

}  // namespace

void WriteUtcTime(int64_t unix_ms, char* out) {
    const CivilTime t = ToFourDigitYear(unix_ms);
    std::memcpy(out, kUtcTimePlaceholder, kUtcTimeLength);
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
    const auto year = static_cast<unsigned>(t.year);
    WriteTwoDigits(year / 100, out);
    WriteTwoDigits(year, out + 2);
    WriteTwoDigits(t.month, out + 4);
    WriteTwoDigits(t.day, out + 6);
    out[8] = 'T';
    WriteTwoDigits(t.hour, out + 9);
    WriteTwoDigits(t.minute, out + 11);
    WriteTwoDigits(t.second, out + 13);
    out[15] = static_cast<char>('0' + t.millisecond / 100);
    WriteTwoDigits(t.millisecond, out + 16);
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

void AppendUtcTime(std::string& out, int64_t unix_ms) {
    char time[kUtcTimeLength];
    WriteUtcTime(unix_ms, time);
    out.append(time, sizeof time);
}

}  // namespace sentry_lite
