// The detection core: everything the vlx2f element does to a frame, as plain
// C++ over the application-owned DetectParams block. The element is a thin
// adapter: it hands packed frames and audio buffers in, and pushes what the
// returned outcome says. Nothing here allocates per frame.
//
// Times are in 100 ns units, as the block and the record files count them.
// Locking is the caller's: the element serialises every call on one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vlx/clock.h"
#include "vlx/detect_params.h"
#include "vlx/detect/detector.h"
#include "vlx/detect/stamp.h"

namespace vlx::detect {

// Sample and media times of one buffer, with its flags. A value of -1 means
// "not set".
struct SampleTimes {
    int64_t start = -1;
    int64_t stop = -1;
    int64_t media_start = -1;
    int64_t media_stop = -1;
    bool sync_point = false;
    bool preroll = false;
    bool discontinuity = false;
};

// What the adapter must do after one video frame.
struct VideoOutcome {
    // Deliver the input frame (resized and painted in place) on the preview
    // output. False while preview_off is set.
    bool deliver_preview = false;
    // Length of the input frame after the in-place resize (bytes).
    size_t frame_len = 0;
    // Ring slot to deliver on the capture output, -1 for none, with the times
    // the core gave it. Its data is DetectParams::shift_buf + slot*frame_bytes,
    // capture_len bytes long.
    int capture_slot = -1;
    size_t capture_len = 0;
    SampleTimes capture_times;
    // The clip ended on this frame: clip_result and clip_frames are written
    // and the clip-end message has been posted to notify_thread.
    bool clip_ended = false;
    int32_t clip_result = 0;
};

// What the adapter must do after one audio buffer.
struct AudioOutcome {
    int deliver_slot = -1;  // audio ring slot for the audio output, -1 none
    size_t deliver_len = 0;
    SampleTimes deliver_times;
};

class Core {
public:
    // clock: wall clock for the frame clock and stamps (not owned).
    explicit Core(WallClock* clock = &SystemClock());
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // The control call. Fails (returns false, changes nothing) when any
    // pointer is null; otherwise writes 208 / 0 and builds the rings, the
    // resize tables and the detector state over the block.
    bool Init(DetectParams* block, int32_t* version, int32_t* reserved);
    DetectParams* block() const;

    // Where to publish the 20-byte IpcData block (nullptr: not published).
    // Init resets its sequence counter.
    void SetIpc(IpcData* ipc);

    // The video input was connected with this format code and source frame
    // duration (100 ns units; <= 0 when the source gives none). Writes the
    // subtype into the block and fixes the frame duration D.
    void ConnectVideo(const Guid& subtype, int64_t source_frame_time);
    // Frame time the outputs advertise: trunc(1e7 / fps) as Init computed it.
    int64_t OutputFrameTime() const;
    // The audio input was connected: bytes per second and bits per sample.
    void ConnectAudio(int32_t bytes_per_second, int32_t bits_per_sample);

    // Transition to running: the run-time resets, HitMap / SnapShot clearing,
    // the border mask, and arming.
    void Run();
    // Transition to stopped: the SnapShot copy when none was taken.
    void Stop();
    bool armed() const;
    // The input of a file has ended: a clip still recording is finished with
    // the frames it has. Each call delivers one of the frames still in the
    // ring (capture_slot) and the last one ends the clip as a normal clip
    // (clip_ended, the clip-end message posted); false when nothing is left
    // to do (no clip, or not in file-input mode).
    bool DrainAtEnd(VideoOutcome& o);

    // One video frame, packed at cxin x cyin in the connected format. The
    // buffer is modified in place (resize, mask painting, stamps, boxes); it
    // must hold at least the input frame's bytes.
    VideoOutcome ProcessVideo(uint8_t* frame, size_t len, const SampleTimes& in);

    // One audio buffer.
    AudioOutcome ProcessAudio(const uint8_t* data, size_t len, const SampleTimes& in);

    // The capture output refused a frame the outcome asked for.
    void CountDrop();

    // False when the block cannot be worked on (a missing buffer, a slot too
    // small for the connected format, a working size larger than the
    // source); problem() says why. Frames then pass through unexamined.
    bool usable() const;
    const char* problem() const;

    // State for tests and status displays.
    const Detector& detector() const;
    const FrameStamp& SlotStamp(int slot) const;
    int32_t format() const;
    int64_t frame_duration() const;
    int32_t max_frames() const;
    int32_t consec() const;
    int32_t shift() const;
    int32_t emitted() const;
    int write_index() const;

    // Ring access for the adapter.
    uint8_t* VideoSlot(int slot) const;
    int VideoSlots() const;
    uint8_t* AudioSlot(int slot) const;
    int AudioSlots() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vlx::detect
