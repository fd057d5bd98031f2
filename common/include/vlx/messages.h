// Message numbers carried by the thread message queues and the graph event
// drains, and the commands of the live and replay threads.
#pragma once

#include <cstdint>

namespace vlx {

inline constexpr uint32_t WM_LIVE_COMMAND = 1125;   // to the live thread, wParam = LiveCommand
inline constexpr uint32_t WM_REPLAY_COMMAND = 1135; // to the replay thread, wParam 8..14
inline constexpr uint32_t WM_LIVE_CLIP_END = 1225;  // from the detection element, both params 0
inline constexpr uint32_t WM_REPLAY_GRAPH_EVENT = 1215;  // replay pipeline events to the main window
inline constexpr uint32_t WM_GRAPH_EVENT = 1216;         // live pipeline events in file-input mode
inline constexpr uint32_t WM_LIVE_VIDEO_EVENT = 1126;    // live pipeline events to the live video window

enum LiveCommand : uint32_t {
    LIVE_INIT = 1,
    LIVE_START = 2,
    LIVE_STOP = 3,
    LIVE_DETECT_ON = 4,
    LIVE_DETECT_OFF = 5,
    LIVE_REC_ON = 6,
    LIVE_REC_OFF = 7,
    LIVE_EXIT = 14,
};

// Replay thread commands share the range 8..14; 1 initialises, 14 ends the thread.
inline constexpr uint32_t REPLAY_INIT = 1;
inline constexpr uint32_t REPLAY_EXIT = 14;

}  // namespace vlx
