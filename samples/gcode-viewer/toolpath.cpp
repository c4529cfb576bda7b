#include "toolpath.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace gcode {

namespace {

// Points this close to the straight line through their neighbours add nothing to the drawing.
constexpr double kStraightTolerance = 1e-4;

std::int64_t LayerKey(double z) {
    return std::llround(z * 1000);
}

bool Between(const Vertex& a, const Vertex& b, const Point& c) {
    if (a.z != b.z || static_cast<double>(b.z) != c.z) {
        return false;
    }
    const double abx = b.x - a.x, aby = b.y - a.y;
    const double acx = c.x - a.x, acy = c.y - a.y;
    const double length = std::sqrt(acx * acx + acy * acy);
    if (length == 0) {
        return false;
    }
    const double distance = std::fabs(abx * acy - aby * acx) / length;
    const double along = abx * acx + aby * acy;
    return distance <= kStraightTolerance && along >= 0 && along <= length * length;
}

// Two decimals, without the "-0.00" that printf gives a small negative number.
std::string Mm(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string s = text;
    if (s == "-0.00") {
        s = "0.00";
    }
    return s;
}

}  // namespace

void Toolpath::OnMove(const Point& start, const Point* ends, std::size_t count, bool extrusion) {
    if (!extrusion) {
        open_ = false;
        return;
    }
    ++extrusions_;
    if (!open_ || !(last_ == start)) {
        runs_.push_back(
            {static_cast<std::uint32_t>(vertices_.size()), 0, static_cast<float>(start.z)});
        vertices_.push_back({static_cast<float>(start.x), static_cast<float>(start.y),
                             static_cast<float>(start.z)});
        runs_.back().count = 1;
        open_ = true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Append(ends[i]);
    }
    last_ = ends[count - 1];
}

void Toolpath::Append(const Point& p) {
    if (!has_extent_) {
        extent_ = {p, p};
        has_extent_ = true;
    }
    extent_.min = {std::min(extent_.min.x, p.x), std::min(extent_.min.y, p.y),
                   std::min(extent_.min.z, p.z)};
    extent_.max = {std::max(extent_.max.x, p.x), std::max(extent_.max.y, p.y),
                   std::max(extent_.max.z, p.z)};
    AddLayer(p.z);

    Run& run = runs_.back();
    // A point on the straight line from the one before the last replaces the last.
    if (run.count >= 2 && Between(vertices_[vertices_.size() - 2], vertices_.back(), p)) {
        vertices_.back() = {static_cast<float>(p.x), static_cast<float>(p.y),
                            static_cast<float>(p.z)};
    } else {
        vertices_.push_back(
            {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)});
        ++run.count;
    }
    run.top = std::max(run.top, static_cast<float>(p.z));
}

void Toolpath::AddLayer(double z) {
    const std::int64_t key = LayerKey(z);
    if (!layer_keys_.empty() && layer_keys_.back() == key) {
        return;
    }
    layer_keys_.push_back(key);
    // Files that come back to earlier heights (several objects printed one after another)
    // would grow the list without bound; sorting it down keeps it near the distinct count.
    if (layer_keys_.size() > 2 * compacted_size_ + 4096) {
        CompactLayerKeys();
    }
}

void Toolpath::CompactLayerKeys() {
    std::sort(layer_keys_.begin(), layer_keys_.end());
    layer_keys_.erase(std::unique(layer_keys_.begin(), layer_keys_.end()), layer_keys_.end());
    compacted_size_ = layer_keys_.size();
}

void Toolpath::Finish() {
    open_ = false;
    CompactLayerKeys();
    layers_.clear();
    layers_.reserve(layer_keys_.size());
    for (std::int64_t key : layer_keys_) {
        layers_.push_back(static_cast<double>(key) / 1000);
    }
}

Extent Toolpath::extent() const {
    return extrusions_ == 0 ? Extent{} : extent_;
}

std::string FormatSummary(const Toolpath& toolpath, const std::string& renderer,
                          const std::string& version) {
    const Extent e = toolpath.extent();
    char count[64];
    std::snprintf(count, sizeof count, "layers=%zu extrusions=%" PRIu64, toolpath.layers().size(),
                  toolpath.extrusions());
    return std::string("summary: ") + count + " min=" + Mm(e.min.x) + "," + Mm(e.min.y) + "," +
           Mm(e.min.z) + " max=" + Mm(e.max.x) + "," + Mm(e.max.y) + "," + Mm(e.max.z) +
           " renderer=\"" + renderer + "\" version=\"" + version + "\"";
}

}  // namespace gcode
