// A streaming G-code reader: bytes go in as they come from the file, in chunks of any size,
// and moves come out. Nothing of the file is kept but the line being read, so a file of any
// size is read in bounded memory. Lines end in LF, CR LF or a lone CR; a UTF-8 byte-order
// mark before the first line is passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace gcode {

struct Point {
    double x = 0;
    double y = 0;
    double z = 0;
};

inline bool operator==(const Point& a, const Point& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

// Receives every move in file order. A straight move has one end; an arc comes as the ends of
// its chords, the last one its exact end point.
class MoveSink {
  public:
    virtual ~MoveSink() = default;
    virtual void OnMove(const Point& start, const Point* ends, std::size_t count,
                        bool extrusion) = 0;
};

struct ParseStats {
    std::uint64_t lines = 0;
    std::uint64_t moves = 0;
    std::uint64_t extrusions = 0;
    // Lines skipped whole: bytes that are not text, over-long lines, malformed or
    // out-of-range numbers, wrong checksums, arcs that cannot be formed.
    std::uint64_t bad_lines = 0;
    // Words no command here takes; the rest of their line still counts.
    std::uint64_t unknown_words = 0;
};

class Parser {
  public:
    // Longer lines are skipped without being buffered.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;
    // A coordinate or parameter past this (in mm) is treated as damage, not geometry.
    static constexpr double kMaxMagnitude = 1e7;

    explicit Parser(MoveSink& sink) : sink_(sink) {}

    void Feed(const char* data, std::size_t size);
    // Reads a last line that has no line feed.
    void Finish();

    const ParseStats& stats() const { return stats_; }

  private:
    struct Word {
        char letter;
        double value;
    };

    void ParseLine(const char* begin, const char* end);
    bool Tokenize(const char* begin, const char* end);
    bool Execute();
    bool Move(int motion);
    bool ArcEnds(int motion, const Point& start, const Point& target, const Word* i, const Word* j,
                 const Word* r);
    void Emit(const Point& target, const Point* ends, std::size_t count, bool extrusion);

    MoveSink& sink_;
    ParseStats stats_;

    std::string partial_;
    bool discarding_ = false;
    // Before the end of the first line, where a byte-order mark may stand.
    bool first_line_ = true;
    // The last block ended in a CR, whose LF may begin the next one.
    bool after_cr_ = false;

    std::vector<Word> words_;
    std::vector<Point> arc_ends_;

    Point position_;
    double e_ = 0;
    bool absolute_xyz_ = true;
    bool absolute_e_ = true;
    double unit_ = 1.0;
    int motion_ = 0;
};

// Reads an open file to its end through a parser, a fixed-size block at a time. Returns false
// when the stream reports a read error.
bool ParseFile(std::FILE* file, Parser& parser);

}  // namespace gcode
