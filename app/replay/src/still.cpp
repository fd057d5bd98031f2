#include "vlx/replay/still.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>

#include "vlx/app/report.h"
#include "vlx/clips/records.h"

namespace vlx {

namespace {

bool EndsWithJpg(const std::string& p) { return p.size() >= 4 && p.compare(p.size() - 4, 4, ".jpg") == 0; }

bool Fits(int w, int h) {
    return w > 0 && h > 0 && static_cast<int64_t>(w) * h * 3 <= kStillCapacity;
}

struct JpegError {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1); }
void OnJpegMessage(j_common_ptr) {}

// Only plain C objects and the vector (whose storage is sized before any
// jump can happen) live across the long jump.
bool Decode(std::FILE* f, std::vector<uint8_t>& out, int* w, int* h) {
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnJpegError;
    err.pub.output_message = OnJpegMessage;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const int cw = static_cast<int>(cinfo.output_width), ch = static_cast<int>(cinfo.output_height);
    if (!Fits(cw, ch) || cinfo.output_components != 3) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    out.resize(static_cast<size_t>(cw) * ch * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        // Top-down rows stored bottom-up.
        JSAMPROW row = out.data() + static_cast<size_t>(ch - 1 - static_cast<int>(cinfo.output_scanline)) * cw * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    *w = cw;
    *h = ch;
    return true;
}

}  // namespace

ClipSelection SelectionFor(const ClipEntry& e) {
    ClipSelection s;
    s.base_path = (e.directory + "/" + e.base_name).substr(0, 1023);
    if (e.Has(ClipEntry::kAvi, 'A')) {
        s.media_path = s.base_path + ".avi";
        s.clip_type = 'a';
    } else if (e.Has(ClipEntry::kWmv, 'W')) {
        s.media_path = s.base_path + ".wmv";
        s.clip_type = 'w';
    }
    return s;
}

std::string PickStill(const ClipEntry& e, const std::string& base) {
    struct Choice {
        ClipEntry::Position pos;
        char letter;
        const char* suffix;
    } const order[] = {
        {ClipEntry::kSnap, 'S', "S.jpg"}, {ClipEntry::kSnap, 's', "S.bmp"}, {ClipEntry::kPeak, 'P', "P.jpg"},
        {ClipEntry::kPeak, 'p', "P.bmp"}, {ClipEntry::kBmp, 'B', ".bmp"},   {ClipEntry::kCBmp, 'C', "C.bmp"},
    };
    for (const Choice& c : order)
        if (e.Has(c.pos, c.letter)) return base + c.suffix;
    return {};
}

bool ReadJpeg(const std::string& path, StillImage& img) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> px;
    int w = 0, h = 0;
    const bool ok = Decode(f, px, &w, &h);
    std::fclose(f);
    if (!ok) return false;
    img.width = w;
    img.height = h;
    img.pixels = std::move(px);
    return true;
}

bool LoadStill(const std::string& path, StillImage& display) {
    if (EndsWithJpg(path)) return ReadJpeg(path, display);
    Bmp24 bmp;
    switch (ReadBmp24(path, bmp)) {
        case BmpReadStatus::kOk:
            break;
        case BmpReadStatus::kCannotOpen:
        case BmpReadStatus::kBadFormat:
            ErrorBox("UM080: Cannot read bmp file");
            return false;
        case BmpReadStatus::kTruncated:
            return false;  // not every pixel could be read: keep the picture
    }
    if (bmp.width != display.width || bmp.height != display.height || !Fits(bmp.width, bmp.height)) {
        ErrorBox("UM081: Map file size not matched");
        return false;
    }
    display.pixels = std::move(bmp.pixels);
    return true;
}

bool LoadMap(const std::string& path, const StillImage& display, StillImage& map) {
    Bmp24 bmp;
    switch (ReadBmp24(path, bmp)) {
        case BmpReadStatus::kOk:
            break;
        case BmpReadStatus::kCannotOpen:
        case BmpReadStatus::kBadFormat:
            ErrorBox("UM082: Map file not exist");
            return false;
        case BmpReadStatus::kTruncated:
            return false;
    }
    if (bmp.width != display.width || bmp.height != display.height) {
        ErrorBox("UM081 Map file size not matched");
        return false;
    }
    map.width = bmp.width;
    map.height = bmp.height;
    map.pixels = std::move(bmp.pixels);
    return true;
}

void ApplyOverlays(StillImage& d, const StillImage& map, Overlays o) {
    if (d.width != map.width || d.height != map.height || d.pixels.size() != map.pixels.size()) return;
    const size_t n = static_cast<size_t>(d.width) * d.height;
    int x0 = d.width, x1 = -1, y0 = d.height, y1 = -1;
    for (size_t i = 0; i < n; ++i) {
        uint8_t* px = &d.pixels[i * 3];
        const uint8_t blue = map.pixels[i * 3], red = map.pixels[i * 3 + 2];
        if (o.area && (blue & 3)) {
            for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>((px[c] + 200) / 2);
        }
        if (o.scl && blue == 248) {
            px[0] = 248;
            px[1] = 0;
            px[2] = 0;
        }
        if (o.hit && red) {
            px[0] = 255;
            px[1] = 255;
            px[2] = 0;
            if (red >= 254) {
                const int x = static_cast<int>(i % static_cast<size_t>(d.width));
                const int y = static_cast<int>(i / static_cast<size_t>(d.width));
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
        }
    }
    if (!o.hit || x1 < 0) return;
    x0 = std::max(0, x0 - 15);
    y0 = std::max(0, y0 - 15);
    x1 = std::min(d.width - 1, x1 + 15);
    y1 = std::min(d.height - 1, y1 + 15);
    auto red = [&](int x, int y) {
        uint8_t* px = &d.pixels[(static_cast<size_t>(y) * d.width + x) * 3];
        px[0] = 0;
        px[1] = 0;
        px[2] = 255;
    };
    for (int x = x0; x <= x1; ++x) {
        red(x, y0);
        red(x, y1);
    }
    for (int y = y0; y <= y1; ++y) {
        red(x0, y);
        red(x1, y);
    }
}

bool BuildStillView(const ClipEntry& entry, Overlays o, StillImage& display) {
    const ClipSelection sel = SelectionFor(entry);
    const std::string still = PickStill(entry, sel.base_path);
    if (still.empty() || !LoadStill(still, display)) return false;
    if (o.any() && entry.Has(ClipEntry::kMap, 'M')) {
        StillImage map;
        if (LoadMap(sel.base_path + "M.bmp", display, map)) ApplyOverlays(display, map, o);
    }
    return true;
}

}  // namespace vlx
