#pragma once

// The two command-line switches that steer the renderer decision. The argument vector finds
// them; the renderer decision reads them.
struct RendererSwitches {
    bool sw_renderer = false;
    bool no_sw_renderer = false;
};
