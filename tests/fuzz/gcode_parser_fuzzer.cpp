// The sample viewer's G-code reader on any bytes: never a crash, every point it hands on is a
// finite number, and the moves and counts do not depend on how the file arrives in chunks.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gcode_parser.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Keeps a digest of every move rather than the moves: an arc hands on up to a thousand points,
// and keeping them all would cost most of a run.
class DigestSink final : public gcode::MoveSink {
  public:
    std::uint64_t digest = 14695981039346656037u;
    std::uint64_t points = 0;

    void OnMove(const gcode::Point& start, const gcode::Point* ends, std::size_t count,
                bool extrusion) override {
        Add(start);
        for (std::size_t i = 0; i < count; ++i) {
            Add(ends[i]);
        }
        Mix(extrusion ? 1 : 0);
    }

  private:
    void Add(const gcode::Point& point) {
        for (const double value : {point.x, point.y, point.z}) {
            Require(std::isfinite(value));
            std::uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            Mix(bits);
        }
        ++points;
    }
    void Mix(std::uint64_t value) { digest = (digest ^ value) * 1099511628211u; }
};

bool SameStats(const gcode::ParseStats& a, const gcode::ParseStats& b) {
    return a.lines == b.lines && a.moves == b.moves && a.extrusions == b.extrusions &&
           a.bad_lines == b.bad_lines && a.unknown_words == b.unknown_words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the chunk size of the second reading.
    const std::size_t chunk = 1 + data[0] % 16;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    DigestSink whole_sink;
    gcode::Parser whole(whole_sink);
    whole.Feed(text, length);
    whole.Finish();

    DigestSink chunked_sink;
    gcode::Parser chunked(chunked_sink);
    for (std::size_t at = 0; at < length; at += chunk) {
        chunked.Feed(text + at, std::min(chunk, length - at));
    }
    chunked.Finish();

    Require(SameStats(whole.stats(), chunked.stats()));
    Require(whole_sink.digest == chunked_sink.digest && whole_sink.points == chunked_sink.points);
    Require(whole.stats().extrusions <= whole.stats().moves);
    return 0;
}
