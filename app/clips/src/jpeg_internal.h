#pragma once

#include <cstdint>
#include <string>

namespace vlx::clips_detail {

// Encodes a BGR picture (bottom row first, unpadded) as a JPEG file that
// appears complete or not at all.
bool WriteJpegFile(const std::string& path, const uint8_t* bgr, int width, int height, int quality);

}  // namespace vlx::clips_detail
