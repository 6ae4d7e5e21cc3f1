#pragma once
// Writing the machine window's saved pictures as JPEG files.
#include <cstdint>
#include <filesystem>

namespace dupmon {

// Encode 8-bit RGB pixels as a baseline JPEG file (libjpeg), replacing a
// file of the same name. `stride` is the byte distance between rows. False
// when the file cannot be written or the image is empty.
bool writeJpegFile(const std::filesystem::path& file, const uint8_t* rgb, int width, int height,
                   int stride, int quality);

} // namespace dupmon
