// The area-mask file: a picture of the working size whose pure red points are
// left out of detection. It is a user file, so every size and offset in it is
// checked before a byte is used.
#include <cstdio>
#include <cstring>
#include <string>

#include "file_util.h"
#include "vlx/app/report.h"
#include "vlx/clips/records.h"

namespace vlx {

bool ReadAreaMask(AppContext& ctx, bool clear, AreaMaskPicture& picture) {
    DetectParams& dp = ctx.dp;
    const int W = dp.cx;
    const int H = dp.cy;
    if (clear && dp.mask_alloc && W > 0 && dp.pixels > 0) {
        std::memset(dp.mask_alloc, 0, static_cast<size_t>(dp.pixels) + 2 * static_cast<size_t>(W));
    }

    std::string name = clips_detail::FieldText(ctx.ap.dareafname, sizeof ctx.ap.dareafname);
    if (name == kNoAreaMask) return false;

    std::string path = clips_detail::JoinPath(clips_detail::FieldText(ctx.program_dir, sizeof ctx.program_dir), name);
    Bmp24 bmp;
    BmpReadStatus status = ReadBmp24(path, bmp);
    if (status == BmpReadStatus::kCannotOpen) {
        ErrorBox("UM026: Cannot read Area Mask %s ", name.c_str());
        return false;
    }
    // A picture of another size, another format, or cut short is no usable
    // mask: detection goes on over the whole picture.
    if (status != BmpReadStatus::kOk || bmp.width != W || bmp.height != H) {
        ErrorBox("UM027: Area Mask File size not matched ... ignored");
        std::snprintf(ctx.ap.dareafname, sizeof ctx.ap.dareafname, "%s", kNoAreaMask);
        return false;
    }

    picture.pixels = std::move(bmp.pixels);
    picture.width = W;
    picture.height = H;

    if (clear && dp.mask && static_cast<int64_t>(W) * H <= dp.pixels) {
        for (int y = 0; y < H; ++y) {  // y: row from the top
            const uint8_t* p = picture.pixels.data() + static_cast<size_t>(H - 1 - y) * W * 3;
            uint8_t* m = dp.mask + static_cast<size_t>(y) * W;
            for (int x = 0; x < W; ++x, p += 3) {
                if (p[0] == 0 && p[1] == 0 && p[2] == 255) m[x] = 2;
            }
        }
    }
    return true;
}

}  // namespace vlx
