// Where the print appears in the window: an orthographic view turned about the print's
// centre, scaled so the whole extent fits.
#pragma once

#include <array>

#include "toolpath.h"

namespace gcode {

struct ViewAngles {
    // Turn about the vertical axis, then tilt about the screen's horizontal axis. The default
    // looks at the front-left corner from 30 degrees above the bed.
    double yaw_degrees = -30;
    double pitch_degrees = -60;
    double zoom = 1;
};

// Share of the window the print's projected box fills at zoom 1.
constexpr double kFitMargin = 0.9;

// Column-major, for glLoadMatrixd: takes a point in mm to clip coordinates, the nearer point
// having the smaller depth.
using Matrix = std::array<double, 16>;

Matrix FitView(const Extent& extent, const ViewAngles& view, int width, int height);

}  // namespace gcode
