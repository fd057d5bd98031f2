// Input routing, the TV tuner and the device controls of V4L2 capture devices
// (what the input settings page routes, tunes and shows as property pages).
//
// Every kernel call goes through a small table of open/close/ioctl functions
// so that the code can be driven without a capture card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/capture/sources.h"

namespace vlx::capture {

struct V4l2Ops {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
};

// The system's open/close/ioctl.
const V4l2Ops& SystemV4l2Ops();
// Replaces the table process-wide (nullptr restores the system one).
void SetV4l2Ops(const V4l2Ops* ops);

// The device node (e.g. "/dev/video0") of a video list entry, empty when the
// entry is not present or is no V4L2 device.
std::string DeviceNodeOf(const char* entry);

// The input lists of a device node, numbered "%d:%s" from 1.
InputLists ListInputs(const std::string& node);

// Selects the video input `vpin` and, when `route_audio`, the audio input
// `apin` (both zero-based) on the node, and returns its input lists. An index
// outside a list leaves that routing unchanged. Returns false when the node
// cannot be opened or refuses a selection (e.g. while it streams).
bool RouteInputsOnNode(const std::string& node, int vpin, int apin, bool route_audio, InputLists* lists);

// Routes the inputs of the devices the settings name: AP.vpin on the video
// device, AP.apin when AP.dv_audio is not "NULL". The lists are left empty
// for devices without V4L2 inputs.
bool RouteInputs(AppContext& ctx, InputLists* lists);

// The picture carrier in MHz of a TV channel: antenna uses the North American
// broadcast plan (2-69), cable the North American standard cable plan
// (1-125). 0 when the channel is not in the plan.
double ChannelFrequencyMHz(int channel, bool antenna);

enum class TunerResult { kTuned, kNoTuner, kNoChannel, kFailed };

// Tunes the first tuner of the node to the channel. A device without a tuner
// is skipped silently (kNoTuner).
TunerResult ApplyTunerOnNode(const std::string& node, int channel, bool antenna);

// ApplyTunerOnNode on the video device with AP.tv_ch and AP.tv_antenna.
TunerResult ApplyTuner(AppContext& ctx);

// One user control of a device, as a property page shows it.
struct DeviceControl {
    enum Type { kInteger = 1, kBoolean = 2, kMenu = 3, kButton = 4, kInteger64 = 5, kIntegerMenu = 9, kOther = 0 };
    uint32_t id = 0;
    std::string name;
    Type type = kOther;
    int32_t minimum = 0;
    int32_t maximum = 0;
    int32_t step = 0;
    int32_t default_value = 0;
    int32_t value = 0;          // current value (0 for write-only controls)
    bool read_only = false;
    bool inactive = false;      // e.g. a manual setting while its automatic mode is on
    std::vector<std::pair<int32_t, std::string>> menu;  // (index, name) for menus
};

// The controls of a node, in the driver's order; empty when it has none or
// cannot be opened.
std::vector<DeviceControl> ListControls(const std::string& node);
bool GetControl(const std::string& node, uint32_t id, int32_t* value);
// Sets a control; false when the node refuses it (out of range, read-only,
// busy). The value is not clamped: the page offers only valid values.
bool SetControl(const std::string& node, uint32_t id, int32_t value);

}  // namespace vlx::capture
