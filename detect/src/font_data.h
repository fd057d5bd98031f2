// Generated glyph tables (font_data.cpp, made by tools/fontconv).
#pragma once

#include <cstdint>

namespace vlx::detect::fontdata {

extern const uint8_t kFont5x9[5 * 9 * 96];
extern const uint8_t kFont8x15[8 * 15 * 96];
extern const uint8_t kFont16x30[16 * 30 * 96];

}  // namespace vlx::detect::fontdata
