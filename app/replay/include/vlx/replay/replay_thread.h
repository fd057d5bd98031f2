// The replay thread: owns the replay pipeline (clip file, demuxer, decoder,
// the vlx2rf element, the front end's video sink, the sound output) and runs
// the numbered commands posted to its queue as WM_REPLAY_COMMAND.
//
// Positions are in 100-ns units throughout. Seeks are accurate and flushing,
// and every command waits until the pipeline shows its frame, so the frame
// buffer holds the frame a step or seek names when the command is done.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/thread_msg.h"

namespace vlx {

enum ReplayState : int {
    kReplayNone = 0,        // no pipeline
    kReplayStopped = 2,
    kReplayRunning = 3,
    kReplayPaused = 4,
    kReplayPositioned = 5,  // paused after a step or a seek
};

enum ReplayCommand : uint32_t {
    REPLAY_CLOSE = 8,
    REPLAY_PLAY_FROM_START = 9,
    REPLAY_PLAY_PAUSE = 10,
    REPLAY_STEP_FORWARD = 11,
    REPLAY_STEP_BACK = 12,
    REPLAY_SEEK = 13,  // lParam: position in milliseconds
    REPLAY_QUIT = 14,
};

// What the replay side tells the front end. Each call says on which thread
// it comes; a window marshals them to its own thread.
class ReplayObserver {
public:
    virtual ~ReplayObserver() = default;
    // Replay thread, after a build: the slider range 0..max_ms, no redraw.
    virtual void SliderRange(int64_t /*max_ms*/) {}
    // Replay thread (seeks) or the caller's thread (timer): slider position.
    virtual void SliderPosition(int64_t /*ms*/) {}
    // Replay thread: bring the video to the front, invalidate the video area.
    virtual void ShowVideo() {}
    // Streaming thread: a pipeline event waits; the front end calls
    // DrainEvents() on its own thread (the window message 1215 of the live
    // side).
    virtual void GraphEvent() {}
    // DrainEvents' thread: the play button's caption changes.
    virtual void PlayCaption(const char* /*caption*/) {}
    // Replay thread: a command has been carried out (or abandoned).
    virtual void CommandDone(uint32_t /*code*/) {}
};

// Element factories of the front end, called at every build. The video sink
// is required (an appsink for a window, a fakesink in tests); an audio
// factory that returns nullptr means the clip plays without sound.
struct ReplaySinks {
    std::function<GstElement*()> video;
    std::function<GstElement*()> audio;  // empty: autoaudiosink
};

class CReplayThread {
public:
    CReplayThread(AppContext& ctx, ReplaySinks sinks, ReplayObserver* observer = nullptr);
    ~CReplayThread();  // quits and joins the thread when it runs
    CReplayThread(const CReplayThread&) = delete;
    CReplayThread& operator=(const CReplayThread&) = delete;

    // Starts the thread; returns once its queue accepts commands.
    void Start();
    ThreadId id() const { return id_; }
    // Posts a command (false when the thread has ended).
    bool Post(uint32_t code, intptr_t arg = 0) const;
    // Set once quit has torn everything down.
    bool ended() const { return ended_; }
    void Join();

    // The clip to replay: its media path (".avi" or ".wmv", or empty) and the
    // block's clip type. The page sets them while no pipeline exists.
    void SetMediaPath(const std::string& path);
    std::string media_path() const;

    int state() const { return state_; }
    int64_t position() const { return position_; }
    int64_t duration() const { return duration_; }
    bool has_pipeline() const;

    // Reads the current position from the pipeline into position() and
    // returns it; -1 without a pipeline. Any thread.
    int64_t QueryPosition();
    // Takes every waiting end-of-stream and error event without waiting.
    // Called on the front end's thread after GraphEvent().
    void DrainEvents();
    // Writes the frame now shown as "z..._%03ds.jpg" beside the clip, at the
    // clip's own size. Returns the path written, empty when nothing was.
    std::string Snapshot();

    // The frame buffer the element copies into (bottom row first), for tests
    // and the front end; empty without a pipeline.
    std::vector<uint8_t> FrameCopy() const;

private:
    void Run(std::promise<ThreadId>* started);
    void Execute(uint32_t code, intptr_t arg);
    bool Build();
    bool Prepare();
    void Teardown();
    bool SetState(GstState s);
    bool SeekStep();
    bool Stop();

    GstMessage* PopEvent();
    static GstBusSyncReply OnBusSync(GstBus*, GstMessage* msg, gpointer self);
    static void OnDemuxPad(GstElement*, GstPad* pad, gpointer self);
    static void OnDecodedVideo(GstElement*, GstPad* pad, gpointer self);
    static void OnDecodedAudio(GstElement*, GstPad* pad, gpointer self);

    AppContext& ctx_;
    ReplaySinks sinks_;
    ReplayObserver* observer_;
    std::thread thread_;
    ThreadId id_ = 0;
    std::atomic<bool> ended_{false};

    mutable std::mutex path_mu_;
    std::string media_path_;

    std::atomic<int> state_{kReplayNone};
    std::atomic<int64_t> position_{0};
    std::atomic<int64_t> duration_{0};

    // Pipeline objects. op_mu_ serialises every pipeline operation between
    // the replay thread and the callers of QueryPosition, DrainEvents and
    // Snapshot, so teardown never frees what another thread uses.
    mutable std::recursive_mutex op_mu_;
    std::atomic<bool> building_{false};
    GstElement* pipeline_ = nullptr;
    GstElement* video_tail_ = nullptr;  // videoconvert, the element links from the decoder
    GstElement* rf_ = nullptr;
    std::mutex audio_mu_;  // the demuxer's streaming thread adds the sound branch
    GstElement* audio_sink_ = nullptr;  // added to the pipeline when the clip has sound
    bool audio_linked_ = false;
    std::vector<uint8_t> frame_buf_;
    std::mutex events_mu_;
    std::deque<GstMessage*> events_;  // end of stream and errors, for the drain
    double asf_rate_ = 0;  // measured frame rate of a WMV clip, 0 unknown
};

// Page-side arithmetic, shared with the page logic and the tests.
namespace replay {
// truncate(p / (10,000,000 / fps)), or the field number with stepping on.
int SnapshotNumber(int64_t position, double fps, bool stepping, bool field_select);
// Media path without its last 4 characters, the first character of the file
// name replaced by 'z', then "_%03ds.jpg".
std::string SnapshotName(const std::string& media_path, int number);
// Field select after a seek to `position` with stepping on: whether the half
// frame count is odd.
int FieldForSeek(int64_t position, double fps);
}  // namespace replay

}  // namespace vlx
