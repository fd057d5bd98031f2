// The three stamp fonts in the glyph table layout the superimposer reads:
// 96 slots of width x height bytes, the glyph of character c at
// width*height*(127-c), rows bottom-up, byte 0 transparent, 1 black,
// 2..255 luma.
#pragma once

#include <cstdint>

namespace vlx::detect {

struct FontTable {
    const uint8_t* glyphs = nullptr;
    int32_t width = 0;
    int32_t height = 0;
};

// Font of AP.si_fontsize: 0 gives 5 x 9, 1 gives 8 x 15, 2 gives 16 x 30;
// any other value counts as 0.
FontTable StampFont(int32_t si_fontsize);

}  // namespace vlx::detect
