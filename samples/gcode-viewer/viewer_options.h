// The sample viewer's command line, as layrix_main receives it.
#pragma once

#include <string>

namespace gcode {

struct ViewerOptions {
    std::wstring file;        // empty: no file given
    std::wstring screenshot;  // empty: interactive
    int width = 1024;
    int height = 768;
    std::wstring error;  // non-empty: the command line is not usable
};

// Takes the first argument that is not a switch as the file; "--screenshot FILE" and
// "--size WxH" take a value; other switches ("--gcodeviewer", the renderer switches) are
// the launcher's and are passed over.
ViewerOptions ParseViewerArguments(int argc, const wchar_t* const* argv);

}  // namespace gcode
