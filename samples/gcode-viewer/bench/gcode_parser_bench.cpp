// Parser throughput and memory on large generated files, written to a temporary folder and
// removed afterwards. Not a test: run it in a release build (bench/run.sh) and read the
// figures.
//
//   gcode_parser_bench [folder] [megabytes] [print|padded]
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gcode_parser.h"
#include "toolpath.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Processor time of this process, which other jobs on a shared machine do not inflate.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A round part as a slicer writes it: per layer three perimeters of short chords, zigzag
// infill, travels with retraction, a type comment and a fan command. `padding` adds a long
// comment line after each layer, as files with embedded thumbnails or settings carry, to
// make a file large without making its drawing large.
struct Generated {
    unsigned long long bytes = 0;
    unsigned long long lines = 0;
};

Generated Generate(const std::string& path, unsigned long long target_bytes, int chords,
                   std::size_t padding) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    Generated g;
    char line[160];
    auto put = [&](const char* text, int length) {
        std::fwrite(text, 1, length, out);
        g.bytes += length;
        ++g.lines;
    };
    std::string pad = ";" + std::string(padding, 'Q') + "\n";
    put("G21\n", 4);
    put("G90\n", 4);
    put("M83\n", 4);
    double z = 0;
    for (int layer = 1; g.bytes < target_bytes; ++layer) {
        z = layer * 0.1;
        put(line, std::snprintf(line, sizeof line, ";LAYER:%d\n", layer));
        put(line, std::snprintf(line, sizeof line, "G1 Z%.2f F600\n", z));
        for (int loop = 0; loop < 3; ++loop) {
            const double r = 40 - loop * 0.45;
            put(line, std::snprintf(line, sizeof line, "G0 X%.3f Y100.000 F9000\n", 100 + r));
            put(";TYPE:WALL\n", 11);
            for (int i = 1; i <= chords; ++i) {
                const double a = 2 * kPi * i / chords + layer * 0.01;
                put(line, std::snprintf(line, sizeof line, "G1 X%.3f Y%.3f E%.5f\n",
                                        100 + r * std::cos(a), 100 + r * std::sin(a),
                                        r * 2 * kPi / chords * 0.033));
            }
            put("G1 E-0.8 F2400\n", 15);
            put("G1 E0.8\n", 8);
        }
        put(";TYPE:FILL\n", 11);
        for (int i = 0; i < 40; ++i) {
            const double y = 62 + i * 1.9;
            const double half = std::sqrt(std::max(0.0, 38.5 * 38.5 - (y - 100) * (y - 100)));
            put(line, std::snprintf(line, sizeof line, "G1 X%.3f Y%.3f E%.5f\n",
                                    i % 2 ? 100 - half : 100 + half, y, half * 2 * 0.033));
            put(line, std::snprintf(line, sizeof line, "G0 X%.3f Y%.3f\n",
                                    i % 2 ? 100 - half : 100 + half, y + 1.9));
        }
        put("M106 S255\n", 10);
        if (padding > 0) {
            put(pad.data(), static_cast<int>(pad.size()));
        }
    }
    std::fclose(out);
    return g;
}

void Measure(const char* name, const std::string& path, unsigned long long megabytes, int chords,
             std::size_t padding) {
    const Generated g = Generate(path, megabytes << 20, chords, padding);
    const long rss_before = PeakRssKb();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    gcode::Toolpath toolpath;
    gcode::Parser parser(toolpath);
    const double cpu_start = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const bool read = gcode::ParseFile(file, parser);
    toolpath.Finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu_start;
    std::fclose(file);
    std::remove(path.c_str());
    const double kept_mb =
        static_cast<double>(toolpath.vertices().capacity() * sizeof(gcode::Vertex) +
                            toolpath.runs().capacity() * sizeof(gcode::Run)) /
        1048576.0;
    const double mb = static_cast<double>(g.bytes) / 1048576.0;
    const double lines = static_cast<double>(g.lines);
    std::printf(
        "%s: %.1f MB, %llu lines in %.2f s: %.2f million lines/s, %.0f MB/s; read %s\n"
        "  processor time %.2f s: %.2f million lines/s\n"
        "  layers %zu, extrusions %llu, vertices kept %zu (%.1f MB with runs)\n"
        "  peak resident set %.1f MB (%.1f MB before reading)\n",
        name, mb, g.lines, seconds, lines / seconds / 1e6, mb / seconds, read ? "ok" : "FAILED",
        cpu, lines / cpu / 1e6, toolpath.layers().size(),
        static_cast<unsigned long long>(toolpath.extrusions()), toolpath.vertices().size(), kept_mb,
        static_cast<double>(PeakRssKb()) / 1024, static_cast<double>(rss_before) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    const unsigned long long megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
    const std::string mode = argc > 3 ? argv[3] : "print";
    const std::string path = folder + "/gcode-parser-bench-" + mode + ".gcode";
    // One mode per process, so the peak resident set is that mode's own.
    if (mode == "print") {
        // Mostly drawn geometry: memory follows the vertices kept.
        Measure("print", path, megabytes, 480, 0);
    } else {
        // The same print with few chords and a long comment per layer: a file as large, a
        // small drawing, and memory that stays small with it.
        Measure("padded", path, megabytes, 24, 20000);
    }
    return 0;
}
