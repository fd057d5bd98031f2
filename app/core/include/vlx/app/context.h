// Application-wide state: the parameter blocks shared with the elements, the
// settings, and the values start-up computes once. One instance lives for the
// life of the program; tests make their own.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "vlx/app/settings.h"
#include "vlx/app/status.h"
#include "vlx/clock.h"
#include "vlx/detect_params.h"
#include "vlx/replay_params.h"

namespace vlx {

// Output kinds of the capture writer, chosen by AP.dv_codec.
enum OutputKind : int {
    kOutputNone = 0,
    kOutputAvi = 1,
    kOutputWmv = 2,
    kOutputCodec = 3,
};

struct AppContext {
    DetectParams dp{};   // IF.* settings, and the detection element's block
    ReplayParams rp{};   // RIF.deinterace, and the replay element's block
    Settings ap{};       // AP.* settings

    char program_dir[1024] = {};
    char settings_file[512] = {};
    bool save_as_template = false;

    // Local time zone, computed once at start-up: seconds west of UTC, 3600
    // less when daylight saving time was in force then.
    int32_t tz_bias = 0;
    int32_t daylight = 0;

    StatusMessage status;
    WallClock* clock = &SystemClock();

    // Clip storage state (set as files are named).
    char day_folder[1024] = {};
    char month_folder[1024] = {};
    int output_kind = kOutputNone;
    int64_t detect_start_time = 0;  // capture time of the last detect-on

    // The still-image work buffer: cx*cy pixels, B G R, bottom row first.
    std::vector<uint8_t> rgb;
    int rgb_cx = 0;
    int rgb_cy = 0;

    // Hooks installed by the layers above the settings store: the settings
    // pages show new values after every read, and the schedule recomputes the
    // sun-based times when AP.sunset is on.
    std::function<void(AppContext&)> after_settings_read;
    std::function<void(AppContext&)> compute_sun_times;

    // Capture time now: UTC seconds minus the block's time_offset.
    int64_t CaptureNow() { return clock->Now().sec - dp.time_offset; }
};

}  // namespace vlx
