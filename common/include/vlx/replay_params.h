// The replay parameter block shared by the application and the vlx2rf element.
// The application owns it; the element writes the clip's size and rate into it
// when its input is connected and copies every frame into frame_buf.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlx {

struct ReplayParams {
    int32_t reserved;       // app: not used by the element
    int32_t deinterlace_on; // app: rebuild one field of every frame
    int32_t field_select;   // app: which field is rebuilt
    char clip_type;         // app: 'a' AVI, 'w' WMV, 0 none
    int32_t deinterlace_stepping;  // app: RIF.deinterace
    int32_t width;          // element
    int32_t height;         // element, always positive
    double fps;             // element: 1e7 / average frame duration (100 ns units)
    uint8_t* frame_buf;     // app: width*height*3 bytes
    int32_t pixel_count;    // element: width*height
    int32_t frame_bytes;    // element: width*height*3
};

static_assert(offsetof(ReplayParams, clip_type) == 12);
static_assert(offsetof(ReplayParams, deinterlace_stepping) == 16);
static_assert(offsetof(ReplayParams, fps) == 32);
static_assert(offsetof(ReplayParams, frame_buf) == 40);
static_assert(offsetof(ReplayParams, frame_bytes) == 52);

}  // namespace vlx
