#include "gcode_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace gcode {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Chords of an arc stay within this distance of it (mm).
constexpr double kArcTolerance = 0.005;
constexpr int kMaxArcChords = 1024;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Where a number's first significant digit stands, as a power of ten: 120 is 2, 0.05 is -2,
// 3e-400 is -400. The exponent is read only as far as it matters: a double ends near 10^308.
long DecimalOrder(const char* digits, const char* mantissa_end, const char* end) {
    long integer_digits = 0;  // significant ones, before the point
    long fraction_zeros = 0;  // after the point, before the first significant digit
    bool point = false;
    bool significant = false;
    for (const char* q = digits; q < mantissa_end; ++q) {
        if (*q == '.') {
            point = true;
        } else if (!point) {
            significant = significant || *q != '0';
            integer_digits += significant ? 1 : 0;
        } else if (!significant) {
            significant = *q != '0';
            fraction_zeros += significant ? 0 : 1;
        }
    }
    long order = integer_digits > 0 ? integer_digits - 1 : -(fraction_zeros + 1);
    if (mantissa_end < end) {
        const char* q = mantissa_end + 1;  // past the "e"
        const bool negative = *q == '-';
        q += (*q == '-' || *q == '+') ? 1 : 0;
        long power = 0;
        for (; q < end; ++q) {
            power = std::min(power * 10 + (*q - '0'), 100000L);
        }
        order += negative ? -power : power;
    }
    return order;
}

// A number as G-code writes it: sign, digits with an optional point (".3", "3.", "-0"), and
// an exponent only with a lower-case "e" ("1e3"). An upper-case E always starts the
// extruder's word, so the compact "X10E5" stays X10 and E5.
const char* ScanNumber(const char* p, const char* end, double& value) {
    const char* start = p;
    if (p < end && (*p == '+' || *p == '-')) {
        ++p;
    }
    const char* digits = p;
    while (p < end && IsDigit(*p)) {
        ++p;
    }
    bool any_digit = p > digits;
    if (p < end && *p == '.') {
        ++p;
        const char* fraction = p;
        while (p < end && IsDigit(*p)) {
            ++p;
        }
        any_digit = any_digit || p > fraction;
    }
    if (!any_digit) {
        return nullptr;
    }
    const char* mantissa_end = p;
    bool exponent = false;
    if (p < end && *p == 'e') {
        const char* q = p + 1;
        if (q < end && (*q == '+' || *q == '-')) {
            ++q;
        }
        if (q < end && IsDigit(*q)) {
            while (q < end && IsDigit(*q)) {
                ++q;
            }
            p = q;
            exponent = true;
        }
    }
    // Most numbers have a few digits and a point: their digits as an integer, divided by a
    // power of ten, is exact up to 15 digits and one correctly rounded division, the same
    // value from_chars gives, in a fraction of the time.
    if (!exponent) {
        static constexpr double kTens[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        std::int64_t mantissa = 0;
        int count = 0;
        int decimals = 0;
        bool point = false;
        for (const char* q = digits; q < p; ++q) {
            if (*q == '.') {
                point = true;
                continue;
            }
            // Past 15 digits the slow path reads the number; counting on would overflow.
            if (count <= 15) {
                mantissa = mantissa * 10 + (*q - '0');
            }
            ++count;
            decimals += point ? 1 : 0;
        }
        if (count <= 15) {
            const double magnitude = static_cast<double>(mantissa) / kTens[decimals];
            value = *start == '-' ? -magnitude : magnitude;
            return p;
        }
    }
    // from_chars takes no leading plus.
    const char* first = *start == '+' ? start + 1 : start;
    const auto result = std::from_chars(first, p, value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small for a double is 0; too large is damage, which the caller rejects by its
        // size.
        const double magnitude = DecimalOrder(digits, mantissa_end, p) < 0 ? 0.0 : HUGE_VAL;
        value = *start == '-' ? -magnitude : magnitude;
    } else if (result.ec != std::errc() || result.ptr != p) {
        return nullptr;
    }
    return p;
}

// G and M numbers in tenths, so G1 and G01 match and G90.1 does not pass for G90.
long Code(double value) {
    return std::lround(value * 10);
}

const char* Find(const char* begin, const char* end, char c) {
    const void* found = std::memchr(begin, c, static_cast<std::size_t>(end - begin));
    return found != nullptr ? static_cast<const char*>(found) : end;
}

}  // namespace

void Parser::Feed(const char* data, std::size_t size) {
    const char* end = data + size;
    if (after_cr_ && data < end) {
        after_cr_ = false;
        data += *data == '\n' ? 1 : 0;
    }
    // Each kind of line end is searched for again only once it is passed: a file without one
    // kind must not have the rest of the block scanned for it at every line.
    const char* next_lf = Find(data, end, '\n');
    const char* next_cr = Find(data, end, '\r');
    while (data < end) {
        next_lf = next_lf < data ? Find(data, end, '\n') : next_lf;
        next_cr = next_cr < data ? Find(data, end, '\r') : next_cr;
        const char* stop = std::min(next_lf, next_cr);
        const bool line_end = stop < end;
        const std::size_t length = stop - data;
        if (discarding_) {
            // Rest of an over-long line, already counted.
        } else if (partial_.empty() && line_end) {
            if (length > kMaxLineLength) {
                ++stats_.lines;
                ++stats_.bad_lines;
            } else {
                ParseLine(data, stop);
            }
        } else if (partial_.size() + length > kMaxLineLength) {
            ++stats_.lines;
            ++stats_.bad_lines;
            partial_.clear();
            partial_.shrink_to_fit();
            discarding_ = true;
        } else {
            partial_.append(data, length);
            if (line_end) {
                ParseLine(partial_.data(), partial_.data() + partial_.size());
                partial_.clear();
            }
        }
        if (!line_end) {
            break;
        }
        discarding_ = false;
        first_line_ = false;
        data = stop + 1;
        if (*stop == '\r') {
            // CR LF is one line end, even split between two blocks.
            if (data == end) {
                after_cr_ = true;
            } else if (*data == '\n') {
                ++data;
            }
        }
    }
}

void Parser::Finish() {
    if (!partial_.empty()) {
        ParseLine(partial_.data(), partial_.data() + partial_.size());
        partial_.clear();
    }
    discarding_ = false;
    first_line_ = false;
    after_cr_ = false;
}

void Parser::ParseLine(const char* begin, const char* end) {
    ++stats_.lines;
    // Editors on Windows start a UTF-8 file with a byte-order mark.
    if (first_line_ && end - begin >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0) {
        begin += 3;
    }
    if (!Tokenize(begin, end) || !Execute()) {
        ++stats_.bad_lines;
    }
}

bool Parser::Tokenize(const char* begin, const char* end) {
    words_.clear();
    unsigned checksum = 0;
    const char* p = begin;
    while (p < end) {
        const char c = *p;
        if (c == ';') {
            break;
        }
        if (c == '(') {
            const char* close = static_cast<const char*>(std::memchr(p, ')', end - p));
            if (close == nullptr) {
                break;
            }
            for (; p <= close; ++p) {
                checksum ^= static_cast<unsigned char>(*p);
            }
            continue;
        }
        if (IsBlank(c)) {
            checksum ^= static_cast<unsigned char>(c);
            ++p;
            continue;
        }
        if (c == '%' && p == begin) {
            // A program's start or end mark on a line of its own.
            return true;
        }
        if (c == '*') {
            double expected = 0;
            const char* after = ScanNumber(p + 1, end, expected);
            if (after == nullptr || expected != std::floor(expected) || expected < 0 ||
                expected > 255 || static_cast<unsigned>(expected) != (checksum & 0xFF)) {
                return false;
            }
            while (after < end && IsBlank(*after)) {
                ++after;
            }
            if (after < end && *after != ';' && *after != '(') {
                return false;
            }
            break;
        }
        if (!IsLetter(c)) {
            return false;
        }
        const char* word_start = p;
        ++p;
        while (p < end && IsBlank(*p)) {
            ++p;
        }
        double value = 0;
        const char* after = ScanNumber(p, end, value);
        if (after == nullptr) {
            // A bare axis letter, as in "G28 X Y", means the axis without a value.
            if (p < end && IsLetter(*p) && !IsBlank(p[-1])) {
                return false;
            }
            after = p;
            value = std::nan("");
        } else if (Upper(c) != 'N' && !(std::fabs(value) <= kMaxMagnitude)) {
            return false;
        }
        for (const char* q = word_start; q < after; ++q) {
            checksum ^= static_cast<unsigned char>(*q);
        }
        p = after;
        words_.push_back({Upper(c), value});
        // An M command other than the extruder's mode does not move anything; its words,
        // which may be free text ("M117 Printing...") or axis values that are not positions
        // ("M92 X80"), are not read.
        const bool first_command =
            words_.size() == 1 || (words_.size() == 2 && words_[0].letter == 'N');
        if (first_command && words_.back().letter == 'M') {
            const long m = std::isnan(value) ? -1 : Code(value);
            if (m != 820 && m != 830) {
                words_.clear();
                return true;
            }
        }
    }
    return true;
}

bool Parser::Execute() {
    bool set_position = false;
    bool home = false;
    int motion = -1;
    bool has_axis = false;
    bool other_command = false;
    for (const Word& w : words_) {
        switch (w.letter) {
            case 'G': {
                if (std::isnan(w.value)) {
                    return false;
                }
                switch (Code(w.value)) {
                    case 0:
                    case 10:
                    case 20:
                    case 30:
                        motion = static_cast<int>(Code(w.value) / 10);
                        break;
                    case 200:
                        unit_ = 25.4;
                        break;
                    case 210:
                        unit_ = 1.0;
                        break;
                    case 900:
                        absolute_xyz_ = absolute_e_ = true;
                        break;
                    case 910:
                        absolute_xyz_ = absolute_e_ = false;
                        break;
                    case 920:
                        set_position = true;
                        break;
                    case 280:
                        home = true;
                        break;
                    case 170:
                        break;
                    default:
                        other_command = true;
                        break;
                }
                break;
            }
            case 'M':
                if (std::isnan(w.value)) {
                    return false;
                }
                if (Code(w.value) == 820) {
                    absolute_e_ = true;
                } else if (Code(w.value) == 830) {
                    absolute_e_ = false;
                }
                break;
            case 'X':
            case 'Y':
            case 'Z':
            case 'E':
            case 'I':
            case 'J':
            case 'R':
                has_axis = true;
                break;
            case 'N':
            case 'T':
            case 'F':
            case 'P':
            case 'S':
            case 'K':
            case 'H':
            case 'D':
            case 'L':
            case 'O':
                break;
            default:
                ++stats_.unknown_words;
                break;
        }
    }

    if (set_position || home) {
        bool any = false;
        for (const Word& w : words_) {
            const bool bare = std::isnan(w.value);
            if (set_position && bare) {
                return false;
            }
            // Homing takes each axis it names to its end stop, 0, whatever value is written.
            const double v = set_position && !bare ? w.value * unit_ : 0;
            switch (w.letter) {
                case 'X':
                    position_.x = v, any = true;
                    break;
                case 'Y':
                    position_.y = v, any = true;
                    break;
                case 'Z':
                    position_.z = v, any = true;
                    break;
                case 'E':
                    if (set_position) {
                        e_ = v;
                    }
                    any = true;
                    break;
                default:
                    break;
            }
        }
        if (!any) {
            position_ = Point{};
            if (set_position) {
                e_ = 0;
            }
        }
        return true;
    }

    if (motion >= 0) {
        motion_ = motion;
    } else if (other_command) {
        // Axis words of a command such as G4 or G10 are its own parameters.
        return true;
    }
    if (!has_axis) {
        return true;
    }
    return Move(motion_);
}

bool Parser::Move(int motion) {
    const Word* i = nullptr;
    const Word* j = nullptr;
    const Word* r = nullptr;
    Point target = position_;
    double e = e_;
    bool has_e = false;
    for (const Word& w : words_) {
        if (std::isnan(w.value)) {
            if (w.letter == 'X' || w.letter == 'Y' || w.letter == 'Z' || w.letter == 'E' ||
                w.letter == 'I' || w.letter == 'J' || w.letter == 'R') {
                return false;
            }
            continue;
        }
        const double v = w.value * unit_;
        switch (w.letter) {
            case 'X':
                target.x = absolute_xyz_ ? v : target.x + v;
                break;
            case 'Y':
                target.y = absolute_xyz_ ? v : target.y + v;
                break;
            case 'Z':
                target.z = absolute_xyz_ ? v : target.z + v;
                break;
            case 'E':
                e = absolute_e_ ? v : e + v;
                has_e = true;
                break;
            case 'I':
                i = &w;
                break;
            case 'J':
                j = &w;
                break;
            case 'R':
                r = &w;
                break;
            default:
                break;
        }
    }
    // Relative moves can walk out of range one sane step at a time.
    if (!(std::fabs(target.x) <= kMaxMagnitude && std::fabs(target.y) <= kMaxMagnitude &&
          std::fabs(target.z) <= kMaxMagnitude && std::fabs(e) <= kMaxMagnitude)) {
        return false;
    }
    const bool advances = has_e && e > e_;
    const Point start = position_;
    if (motion >= 2) {
        if (!ArcEnds(motion, start, target, i, j, r)) {
            return false;
        }
        e_ = e;
        Emit(target, arc_ends_.data(), arc_ends_.size(), advances);
        return true;
    }
    e_ = e;
    const bool moves_xy = target.x != start.x || target.y != start.y;
    if (target == start && !has_e) {
        return true;
    }
    Emit(target, &target, 1, advances && moves_xy);
    return true;
}

void Parser::Emit(const Point& target, const Point* ends, std::size_t count, bool extrusion) {
    const Point start = position_;
    position_ = target;
    ++stats_.moves;
    if (extrusion) {
        ++stats_.extrusions;
    }
    sink_.OnMove(start, ends, count, extrusion);
}

bool Parser::ArcEnds(int motion, const Point& start, const Point& target, const Word* i,
                     const Word* j, const Word* r) {
    const bool clockwise = motion == 2;
    double cx = 0;
    double cy = 0;
    if (r != nullptr && i == nullptr && j == nullptr) {
        const double radius = r->value * unit_;
        const double dx = target.x - start.x;
        const double dy = target.y - start.y;
        const double chord = std::hypot(dx, dy);
        if (chord == 0 || radius == 0) {
            return false;
        }
        double h2 = radius * radius - chord * chord / 4;
        if (h2 < 0) {
            // A radius a rounding short of half the chord is a half circle.
            if (h2 < -1e-6 * radius * radius) {
                return false;
            }
            h2 = 0;
        }
        const double h = std::sqrt(h2);
        // Positive R: the shorter arc, whose centre lies right of the chord when turning
        // clockwise and left when turning counter-clockwise; negative R: the other one.
        const double side = (clockwise ? -1.0 : 1.0) * (radius > 0 ? 1.0 : -1.0);
        cx = (start.x + target.x) / 2 - dy / chord * h * side;
        cy = (start.y + target.y) / 2 + dx / chord * h * side;
    } else if (i != nullptr || j != nullptr) {
        cx = start.x + (i != nullptr ? i->value * unit_ : 0);
        cy = start.y + (j != nullptr ? j->value * unit_ : 0);
    } else {
        return false;
    }
    const double radius = std::hypot(start.x - cx, start.y - cy);
    if (!(radius > 1e-9)) {
        return false;
    }
    const double a0 = std::atan2(start.y - cy, start.x - cx);
    const double a1 = std::atan2(target.y - cy, target.x - cx);
    double sweep = a1 - a0;
    if (clockwise) {
        if (sweep >= -1e-12) {
            sweep -= 2 * kPi;
        }
    } else if (sweep <= 1e-12) {
        sweep += 2 * kPi;
    }
    const double step =
        radius > kArcTolerance ? 2 * std::acos(1 - kArcTolerance / radius) : kPi / 2;
    int chords = static_cast<int>(std::ceil(std::fabs(sweep) / std::min(step, kPi / 2)));
    chords = std::clamp(chords, 1, kMaxArcChords);
    arc_ends_.clear();
    for (int k = 1; k < chords; ++k) {
        const double t = static_cast<double>(k) / chords;
        const double a = a0 + sweep * t;
        arc_ends_.push_back({cx + radius * std::cos(a), cy + radius * std::sin(a),
                             start.z + (target.z - start.z) * t});
    }
    arc_ends_.push_back(target);
    return true;
}

bool ParseFile(std::FILE* file, Parser& parser) {
    std::vector<char> block(1 << 20);
    for (;;) {
        const std::size_t read = std::fread(block.data(), 1, block.size(), file);
        parser.Feed(block.data(), read);
        if (read < block.size()) {
            break;
        }
    }
    parser.Finish();
    return std::ferror(file) == 0;
}

}  // namespace gcode
