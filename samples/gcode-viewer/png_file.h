#pragma once

#include <string>

namespace gcode {

// Writes 8-bit RGBA pixels, rows from the bottom up as OpenGL reads them, as a PNG file.
bool WritePngFile(const std::wstring& path, int width, int height, const unsigned char* rgba);

}  // namespace gcode
