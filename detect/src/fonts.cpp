#include "vlx/detect/fonts.h"

#include "font_data.h"

namespace vlx::detect {

FontTable StampFont(int32_t si_fontsize) {
    switch (si_fontsize) {
        case 1: return {fontdata::kFont8x15, 8, 15};
        case 2: return {fontdata::kFont16x30, 16, 30};
        default: return {fontdata::kFont5x9, 5, 9};
    }
}

}  // namespace vlx::detect
