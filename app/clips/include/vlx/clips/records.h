// The files written beside a clip and the pictures they are made from: 24-bit
// BMP stills and map, JPEG stills and thumbnail, the XML record, the detection
// log, and the area-mask picture that restricts detection.
//
// Pictures live in the context's RGB buffer: rgb_cx x rgb_cy pixels, bytes
// blue, green, red, bottom row first, rows not padded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vlx/app/context.h"

namespace vlx {

inline constexpr int kJpegQuality = 75;
inline constexpr int kThumbMaxCx = 320;
inline constexpr int kThumbMaxCy = 240;
inline constexpr const char* kNoAreaMask = "DA-ALL.bmp";

// Sizes the RGB buffer to IF.cx x IF.cy (zero-filled) when its size differs;
// keeps it otherwise. False when the working size is unusable.
bool EnsureRgbBuffer(AppContext& ctx);

// Writes a 24-bit picture file: 54-byte header, rows bottom-up and unpadded.
// The file appears complete or not at all. Returns true when every pixel byte
// was written; a short write reports " UM083 cannot save image Please set
// correct Xi Yi" and leaves no file.
bool WriteBmp24(const std::string& path, const uint8_t* rgb, int width, int height);

// A picture read back from a 24-bit file, bottom row first, unpadded.
struct Bmp24 {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

enum class BmpReadStatus { kOk, kCannotOpen, kBadFormat, kTruncated };

// Reads a 24-bit uncompressed picture file, honouring the pixel data offset.
// Rows may be padded to four bytes (other programs) or not (ours). Top-down
// files are turned bottom-up. Sizes above 16384 x 16384 are refused.
BmpReadStatus ReadBmp24(const std::string& path, Bmp24& out);

// Converts the element's snapshot (in IF.cx x IF.cy of its subtype) into the
// RGB buffer. Unknown subtypes, or a snapshot smaller than the subtype needs,
// leave the buffer as it was and return false.
bool SnapshotToRgb(AppContext& ctx);

// Fills the RGB buffer with the map picture (blue mask, green average map,
// red hit map) and hands the hit map back to the element (clip_started = 0).
bool MapToRgb(AppContext& ctx);

// JPEG from a picture file, and from a picture in memory.
bool WriteJpegFromBmp(const std::string& bmp_path, const std::string& jpg_path, int quality = kJpegQuality);
bool WriteJpegFromRgb(const std::string& jpg_path, const uint8_t* rgb, int width, int height,
                      int quality = kJpegQuality);

// The thumbnail (AP.sj_cx x AP.sj_cy) of the RGB buffer: each thumbnail pixel
// is the channel-wise maximum of its source box, hit pixels are marked cyan
// and strong hits framed in red when AP.tmark and IF.im_map are on.
bool WriteThumbnail(AppContext& ctx, const std::string& jpg_path);

// Builds the thumbnail into out (w*h*3 bytes, bottom row first) without
// writing it; w and h as for WriteThumbnail.
void BuildThumbnail(const AppContext& ctx, int w, int h, uint8_t* out);

// The two-line XML record of the clip that just ended.
bool WriteClipRecord(const AppContext& ctx, const std::string& xml_path);

// Text of an XML attribute value: & " < > ' escaped, other bytes unchanged.
std::string XmlEscape(const char* text, size_t max_len);

// Detection log "detlog.csv" in the month folder (with AP.md_log).
void LogDetectStart(AppContext& ctx);
void LogDetectStop(AppContext& ctx);

// The area-mask picture as last read, kept for display by the replay page and
// the area editor.
struct AreaMaskPicture {
    std::vector<uint8_t> pixels;  // width*height*3, bottom row first
    int width = 0;
    int height = 0;
};

// Reads AP.dareafname from the program directory. With clear, first zeroes
// the whole mask allocation, then marks every pure red point (B 0, G 0,
// R 255) with 2. "DA-ALL.bmp" means no mask. Returns true when a mask
// picture was read.
bool ReadAreaMask(AppContext& ctx, bool clear, AreaMaskPicture& picture);

// Name of the replay still: the clip path without its extension, the first
// letter of the file name replaced by 'z', then "_%03ds.jpg" with the frame
// (or, deinterlacing, field) number at position (100 ns units).
std::string ReplayStillPath(const std::string& clip_path, int64_t position, double fps, bool deinterlace,
                            bool second_field);

}  // namespace vlx
