// JPEG encoding straight from a picture in memory. The stills are encoded from
// the RGB buffer (or a picture file read back), never through a fixed scratch
// file in the working directory, so two writers cannot collide.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "file_util.h"
#include "jpeg_internal.h"
#include "vlx/clips/records.h"

namespace vlx {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

// libjpeg's default handler ends the process; come back here instead.
void OnJpegError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

void OnJpegMessage(j_common_ptr) {}

// Encodes width x height BGR pixels, bottom row first, into a malloc'd buffer.
// Only plain C objects live in this frame, so the long jump is safe.
bool Encode(const uint8_t* bgr, int width, int height, int quality, unsigned char** out, unsigned long* out_size) {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnJpegError;
    err.pub.output_message = OnJpegMessage;
    *out = nullptr;
    *out_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(*out);
        *out = nullptr;
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, out_size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const size_t row_bytes = static_cast<size_t>(width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        // JPEG rows run top-down; the buffer's first stored row is the bottom.
        JSAMPROW row = const_cast<JSAMPROW>(bgr + (height - 1 - cinfo.next_scanline) * row_bytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

namespace clips_detail {

bool WriteJpegFile(const std::string& path, const uint8_t* bgr, int width, int height, int quality) {
    if (!bgr || width <= 0 || height <= 0 || width > 65500 || height > 65500) return false;
    if (quality < 1) quality = 1;
    if (quality > 100) quality = 100;
    unsigned char* data = nullptr;
    unsigned long size = 0;
    if (!Encode(bgr, width, height, quality, &data, &size)) return false;
    AtomicFile file;
    bool ok = file.Open(path) && file.Write(data, size) == size && file.Commit();
    std::free(data);
    return ok;
}

}  // namespace clips_detail

bool WriteJpegFromRgb(const std::string& jpg_path, const uint8_t* rgb, int width, int height, int quality) {
    return clips_detail::WriteJpegFile(jpg_path, rgb, width, height, quality);
}

bool WriteJpegFromBmp(const std::string& bmp_path, const std::string& jpg_path, int quality) {
    Bmp24 bmp;
    if (ReadBmp24(bmp_path, bmp) != BmpReadStatus::kOk) return false;
    return clips_detail::WriteJpegFile(jpg_path, bmp.pixels.data(), bmp.width, bmp.height, quality);
}

}  // namespace vlx
