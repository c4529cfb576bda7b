#pragma once

#include <cstdint>
#include <string>

// Whether a GL_VERSION string ("major.minor[.release][ vendor text]") names at least
// required_major.required_minor. Reports the parsed pair as "opengl_version" on every call,
// before comparing. Text that is no number reads as 0, so an empty version never passes 1.0.
bool IsOpenGLVersionAtLeast(const std::string& version, std::uint32_t required_major,
                            std::uint32_t required_minor);
