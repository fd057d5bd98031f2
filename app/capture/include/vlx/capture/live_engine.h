// The live pipeline: the source, the vlx2f element with the buffers it works
// in, the preview and sound branches, and the writer chain that turns clip
// frames into one temporary capture file at a time.
//
// The pipeline keeps streaming from start to stop. At the end of a clip the
// element disarms itself (frames then pass to the preview unexamined); the
// writer is finished with end-of-stream, replaced by a fresh one, and the
// element re-armed. In file-input mode the source is held between the end of
// a clip and the re-arm, so the file goes on where it stopped and no frame
// goes unexamined.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <gst/gst.h>

#include "vlx/app/context.h"
#include "vlx/capture/sources.h"
#include "vlx/clips/records.h"
#include "vlx/detect/block_buffers.h"
#include "vlx/thread_msg.h"

namespace vlx {

// Messages the live side posts to the main (window or station) thread.
inline constexpr uint32_t WM_LIVE_STOP_REQUEST = 1301;  // stop live capture as the Stop button does
inline constexpr uint32_t WM_LIVE_STOPPED = 1302;       // the live thread has finished a stop or exit
// WM_GRAPH_EVENT (1216) carries these event codes in wParam.
inline constexpr uintptr_t kGraphComplete = 1;    // end of stream
inline constexpr uintptr_t kGraphErrorAbort = 3;  // an error stopped the pipeline

struct LiveEngineOptions {
    ThreadId main_thread = 0;            // receives WM_GRAPH_EVENT and the stop requests
    bool fast = false;                   // file input as fast as it decodes, timed by the stream
    // The preview sink: made by the front end at every build (a floating
    // element, e.g. an appsink a window draws from); without one, an element
    // of the factory preview_sink.
    std::function<GstElement*()> make_preview_sink;
    std::string preview_sink = "fakesink";
    std::string sound_sink = "autoaudiosink";
};

// Statistics of a run, for the station's summary.
struct LiveStats {
    std::atomic<int64_t> frames_in{0};       // frames that reached the element
    std::atomic<int64_t> gap_frames{0};      // frames passed unexamined between clips
    std::atomic<int64_t> max_gap_frames{0};
    std::atomic<int64_t> gaps{0};
    std::atomic<int64_t> clips_written{0};
    // Time from a clip's end to the re-arm (the coverage gap of a live camera).
    std::atomic<int64_t> max_gap_us{0};
};

class LiveEngine {
public:
    LiveEngine(AppContext& ctx, LiveEngineOptions options);
    ~LiveEngine();
    LiveEngine(const LiveEngine&) = delete;
    LiveEngine& operator=(const LiveEngine&) = delete;

    bool built() const { return pipeline_ != nullptr; }
    bool has_audio() const { return has_audio_; }

    // Builds the whole pipeline and opens the first capture file. Does
    // nothing when a pipeline exists. Reports and returns false on failure
    // (what was made stays until TearDown).
    bool Build();
    // First run: the pipeline to PLAYING. Later runs re-arm the element and
    // release the held source.
    bool Run();
    // Finishes the current capture file (end-of-stream through its muxer and
    // file sink) and detaches the writer chain.
    void ReleaseWriter();
    // Disk-space guard, a new temporary file named from capture time + 1 s,
    // a fresh writer chain attached to the element's outputs.
    bool PrepareOutputFile();
    // Stops everything, converts a pending snapshot, frees the buffers.
    void TearDown();

    // File input: holds the source before the first frame (Run then starts
    // the pipeline without letting a frame through) until ReleaseStart.
    void HoldAtStart();
    void ReleaseStart();
    // The video input has ended (end of a file).
    bool input_ended() const { return input_ended_; }
    // Tells the main thread that the input is complete, once per build.
    void PostEndOfInput();

    // Calls the element's reserved operation (answering VLX_QUERY).
    void CallReserved();

    const std::string& temp_path() const { return temp_path_; }
    void set_temp_path(const std::string& p) { temp_path_ = p; }
    std::string last_error() const;
    double Progress() const;  // 0..1 through a file input, -1 when unknown
    LiveStats& stats() { return stats_; }

private:
    struct Writer;

    bool AllocateBuffers(bool gray8);
    bool CreateElement();
    bool LinkPreviewAndAudio();
    GstElement* MakeWriterBin(const std::string& path, std::string* error);
    static GstBusSyncReply OnBusMessage(GstBus* bus, GstMessage* msg, gpointer self);
    void HoldSource();
    void ReleaseSource();

    AppContext& ctx_;
    LiveEngineOptions opt_;
    GstElement* pipeline_ = nullptr;
    GstElement* vlx2f_ = nullptr;
    GstElement* audio_tee_ = nullptr;
    capture::SourceParts source_;
    bool has_audio_ = false;
    bool running_ = false;
    std::unique_ptr<Writer> writer_;
    BlockBuffers buffers_;
    AreaMaskPicture area_;
    std::string temp_path_;

    mutable std::mutex mu_;
    std::string last_error_;
    GstPad* hold_pad_ = nullptr;  // source pad held between clips (file input)
    gulong hold_probe_ = 0;
    std::atomic<int64_t> frames_at_clip_end_{-1};
    // Clip ends seen on the bus and re-arms done: a clip end whose re-arm has
    // already happened must not hold the source again.
    int64_t bus_clip_ends_ = 0;
    int64_t rearms_ = 0;
    std::atomic<bool> input_ended_{false};
    std::atomic<bool> eos_posted_{false};
    std::atomic<int64_t> clip_end_us_{0};
    LiveStats stats_;
};

}  // namespace vlx
