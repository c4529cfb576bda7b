#include "view.h"

#include <algorithm>
#include <cmath>

namespace gcode {

Matrix FitView(const Extent& extent, const ViewAngles& view, int width, int height) {
    constexpr double kDegree = 3.14159265358979323846 / 180;
    const double cy = std::cos(view.yaw_degrees * kDegree);
    const double sy = std::sin(view.yaw_degrees * kDegree);
    const double cp = std::cos(view.pitch_degrees * kDegree);
    const double sp = std::sin(view.pitch_degrees * kDegree);
    // Rotation rows: yaw about z, then pitch about x.
    const double r[3][3] = {
        {cy, -sy, 0},
        {cp * sy, cp * cy, -sp},
        {sp * sy, sp * cy, cp},
    };
    const double centre[3] = {(extent.min.x + extent.max.x) / 2, (extent.min.y + extent.max.y) / 2,
                              (extent.min.z + extent.max.z) / 2};
    const double half[3] = {(extent.max.x - extent.min.x) / 2, (extent.max.y - extent.min.y) / 2,
                            (extent.max.z - extent.min.z) / 2};
    // Half-extents of the rotated box on the screen's axes and in depth.
    double screen[3] = {0, 0, 0};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            screen[row] += std::fabs(r[row][col]) * half[col];
        }
    }
    const double w = std::max(width, 1);
    const double h = std::max(height, 1);
    // Pixels per mm: the box fills the margin's share of the tighter side; an empty or flat
    // print still gets a finite scale.
    const double fit_x = screen[0] > 0 ? w * kFitMargin / (2 * screen[0]) : 1e6;
    const double fit_y = screen[1] > 0 ? h * kFitMargin / (2 * screen[1]) : 1e6;
    double scale = std::min(fit_x, fit_y);
    if (scale >= 1e6) {
        scale = 1;
    }
    scale *= view.zoom;
    const double sx = scale * 2 / w;
    const double syy = scale * 2 / h;
    const double sz = -1 / (std::max(screen[2], 1e-3) * 1.01);
    const double s[3] = {sx, syy, sz};

    Matrix m{};
    for (int row = 0; row < 3; ++row) {
        double translation = 0;
        for (int col = 0; col < 3; ++col) {
            m[col * 4 + row] = s[row] * r[row][col];
            translation -= s[row] * r[row][col] * centre[col];
        }
        m[12 + row] = translation;
    }
    m[15] = 1;
    return m;
}

}  // namespace gcode
