// What the viewer draws: the extrusions as polylines of single-precision points, the layers
// they lie on and their extent. Travels and retractions end a polyline and are not kept, so
// memory follows the drawn geometry alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gcode_parser.h"

namespace gcode {

struct Vertex {
    float x;
    float y;
    float z;
};

// A stretch of extrusion without a travel or retraction in between.
struct Run {
    std::uint32_t first;
    std::uint32_t count;
    float top;  // highest z of its points
};

struct Extent {
    Point min;
    Point max;
};

class Toolpath : public MoveSink {
  public:
    void OnMove(const Point& start, const Point* ends, std::size_t count, bool extrusion) override;

    // Settles the layer list; call once the file has been read.
    void Finish();

    std::uint64_t extrusions() const { return extrusions_; }
    // Extent of the end points of extrusion moves; all zero when there are none.
    Extent extent() const;
    // Distinct heights of extrusion, ascending, in mm (to the micrometre).
    const std::vector<double>& layers() const { return layers_; }
    const std::vector<Vertex>& vertices() const { return vertices_; }
    const std::vector<Run>& runs() const { return runs_; }
    bool empty() const { return extrusions_ == 0; }

  private:
    void Append(const Point& p);
    void AddLayer(double z);
    void CompactLayerKeys();

    std::vector<Vertex> vertices_;
    std::vector<Run> runs_;
    std::vector<std::int64_t> layer_keys_;
    std::size_t compacted_size_ = 0;
    std::vector<double> layers_;
    std::uint64_t extrusions_ = 0;
    Extent extent_;
    bool has_extent_ = false;
    bool open_ = false;
    Point last_;
};

// The line the viewer prints once the file is read, numbers in mm with two decimals.
std::string FormatSummary(const Toolpath& toolpath, const std::string& renderer,
                          const std::string& version);

}  // namespace gcode
