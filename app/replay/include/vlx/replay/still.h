// Clip selection and the still view of the replay page, on images in memory:
// which files a clip entry names, which still is shown, the size rules, and
// the three overlays drawn from the clip's map.
//
// Images are 3 bytes per pixel (blue, green, red), bottom row first, rows not
// padded, like every picture of the application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vlx {

inline constexpr int kStillCapacity = 1920 * 1200 * 3;  // 6,912,000 bytes
inline constexpr uint8_t kNoClipGrey = 150;

struct StillImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * height * 3

    void Fill(int w, int h, uint8_t value) {
        width = w;
        height = h;
        pixels.assign(static_cast<size_t>(w) * h * 3, value);
    }
};

// One clip as the clip database hands it over: its folder, base name and the
// ten media letters telling which of its files exist, by position.
struct ClipEntry {
    std::string directory;
    std::string base_name;
    std::string letters;  // 10 characters, a letter or a space each

    enum Position { kAvi = 0, kWmv = 1, kSnap = 2, kPeak = 3, kThumb = 4, kBmp = 5, kCBmp = 6, kMap = 7, kXml = 8 };
    bool Has(Position p, char letter) const {
        return static_cast<size_t>(p) < letters.size() && letters[static_cast<size_t>(p)] == letter;
    }
};

struct ClipSelection {
    std::string base_path;   // directory + "/" + base name, at most 1023 characters
    std::string media_path;  // base path + ".avi" or ".wmv", or empty
    char clip_type = 0;      // 'a', 'w' or 0
};

ClipSelection SelectionFor(const ClipEntry& entry);

// The still to show, first match wins: "S.jpg", "S.bmp", "P.jpg", "P.bmp",
// ".bmp", "C.bmp". Empty when the entry has none of them.
std::string PickStill(const ClipEntry& entry, const std::string& base_path);

// Decodes a JPEG file into img (bottom row first). False, with img unchanged,
// when the file cannot be read or is larger than the display capacity.
bool ReadJpeg(const std::string& path, StillImage& img);

// Loads a still into the display image. A JPEG brings its own size. A bitmap
// must have the display's current size ("UM081: Map file size not matched"
// otherwise); one that cannot be read gives "UM080: Cannot read bmp file".
// The display keeps its picture and size whenever nothing was read.
bool LoadStill(const std::string& path, StillImage& display);

// Reads the clip's map bitmap, which must have the display's size: "UM082:
// Map file not exist" when it cannot be read, "UM081 Map file size not
// matched" otherwise.
bool LoadMap(const std::string& path, const StillImage& display, StillImage& map);

struct Overlays {
    bool area = false;  // "+Area mask"
    bool scl = false;   // "+SCL mask"
    bool hit = false;   // "+Hit mark"
    bool any() const { return area || scl || hit; }
};

// Draws the overlays from the map (blue: mask bits and the scintillation
// mark 248; red: hits, 254 and 255 the strong ones) onto the display image,
// in the order area mask, scintillation mask, hit marks, then the red box
// around the strong hits widened by 15 pixels and clamped to the image.
void ApplyOverlays(StillImage& display, const StillImage& map, Overlays o);

// The whole still view of an entry: pick, load, overlays from "M.bmp".
// Returns true when the picture changed.
bool BuildStillView(const ClipEntry& entry, Overlays o, StillImage& display);

}  // namespace vlx
