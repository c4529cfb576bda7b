#include <cstdio>

#include "png_file.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

namespace gcode {

namespace {

void WriteToFile(void* context, void* data, int size) {
    auto* file = static_cast<std::FILE*>(context);
    std::fwrite(data, 1, static_cast<std::size_t>(size), file);
}

}  // namespace

bool WritePngFile(const std::wstring& path, int width, int height, const unsigned char* rgba) {
    // stb opens files by narrow name; a wide name reaches any path Windows can hold.
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    stbi_flip_vertically_on_write(1);
    const bool encoded =
        stbi_write_png_to_func(WriteToFile, file, width, height, 4, rgba, width * 4) != 0;
    const bool written = std::ferror(file) == 0;
    return std::fclose(file) == 0 && encoded && written;
}

}  // namespace gcode
