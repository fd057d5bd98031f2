// Media subtype identifiers. The capture side records which video format the
// detection element is connected with as a 16-byte identifier, in the layout
// that other tools of the field use for FOURCC formats:
// {XXXXXXXX-0000-0010-8000-00AA00389B71} with the FOURCC in the first word.
#pragma once

#include <cstdint>
#include <cstring>

namespace vlx {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16, "Guid must be 16 bytes");

constexpr uint32_t MakeFourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

constexpr Guid FourccGuid(uint32_t fourcc) {
    return Guid{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

inline bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }
inline bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }

// Video subtypes the detection element accepts, and the two DV ones the
// device negotiation offers.
inline constexpr Guid kSubtypeI420 = FourccGuid(MakeFourcc('I', '4', '2', '0'));
inline constexpr Guid kSubtypeIYUV = FourccGuid(MakeFourcc('I', 'Y', 'U', 'V'));
inline constexpr Guid kSubtypeYV12 = FourccGuid(MakeFourcc('Y', 'V', '1', '2'));
inline constexpr Guid kSubtypeYUY2 = FourccGuid(MakeFourcc('Y', 'U', 'Y', '2'));
inline constexpr Guid kSubtypeUYVY = FourccGuid(MakeFourcc('U', 'Y', 'V', 'Y'));
inline constexpr Guid kSubtypeY800 = FourccGuid(MakeFourcc('Y', '8', '0', '0'));
inline constexpr Guid kSubtypeDvsd = FourccGuid(MakeFourcc('d', 'v', 's', 'd'));
inline constexpr Guid kSubtypeDvhd = FourccGuid(MakeFourcc('d', 'v', 'h', 'd'));
// RGB8 is not a FOURCC format; it keeps its own well-known identifier.
inline constexpr Guid kSubtypeRGB8 = Guid{0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr Guid kGuidNull = Guid{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Format codes used by the resizer, detector, peak hold and superimposer.
enum FormatCode : int32_t {
    kFormatNone = 0,
    kFormatPlanar420 = 1,  // I420, IYUV, YV12
    kFormatYUY2 = 2,
    kFormatUYVY = 3,
    kFormatGray8 = 4,      // RGB8, Y800: one byte per pixel used as luma
};

// Format code of a subtype, kFormatNone for anything else.
inline FormatCode FormatCodeOf(const Guid& g) {
    if (g == kSubtypeI420 || g == kSubtypeIYUV || g == kSubtypeYV12) return kFormatPlanar420;
    if (g == kSubtypeYUY2) return kFormatYUY2;
    if (g == kSubtypeUYVY) return kFormatUYVY;
    if (g == kSubtypeRGB8 || g == kSubtypeY800) return kFormatGray8;
    return kFormatNone;
}

// Name printed by the "%Y" stamp code.
inline const char* FormatName(int code) {
    switch (code) {
        case kFormatPlanar420: return "I420";
        case kFormatYUY2: return "YUY2";
        case kFormatUYVY: return "UYVY";
        case kFormatGray8: return "RGB8";
        default: return "";
    }
}

}  // namespace vlx
