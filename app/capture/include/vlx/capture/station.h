// Station: the headless supervisor both front ends share (vlx2d in a
// terminal, vlx2 in a window). It owns the live thread, the clip finisher,
// the live page logic, the detection schedule and the desktop notifier, and
// runs them from a supervisor thread of its own: start, the one-second
// schedule ticks, the retry with back-off after a camera failure, stop-after,
// the status data, the end-of-input summary and quitting.
//
// A front end only calls the command methods below (safe from any thread;
// each is queued to the supervisor thread and acted on in order) and gets
// everything back through StationEvents. Every event is called from a station
// worker thread (the supervisor, the live thread or the finisher), never from
// the caller's thread and never under a station lock: a window marshals them
// to its own thread (queued signals, QMetaObject::invokeMethod).
//
// Typical use:
//   Application app(ctx); app.Startup(path);
//   StationOptions opt; opt.make_preview_sink = [] { return gst_element_factory_make("appsink", nullptr); };
//   StationEvents ev; ev.clip_finished = [](const FinishedClip& c) { ... };
//   Station station(ctx, opt, ev);
//   station.Start(/*detect_now=*/false);   // the schedule and auto-start decide
//   ... station.Detect(); station.Stop(); station.Rec(); ...
//   station.Quit(); station.Wait();        // or wait for the `stopped` event
//   app.Shutdown();
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "vlx/app/context.h"
#include "vlx/app/startup.h"
#include "vlx/capture/live_page.h"

namespace vlx {

struct ClipRecord;

struct StationOptions {
    // File input as fast as it decodes (frames timed by the stream).
    bool fast = false;
    // Stop and quit after this many seconds (0: run until Quit).
    double stop_after = 0;
    // First wait before detection starts again after a camera failure; the
    // wait doubles up to 300 s and falls back after ten quiet minutes.
    double retry_after = 10;
    // A file input that ends (or fails) quits the station (vlx2d); otherwise
    // the station only stops and stays idle (a window).
    bool quit_at_end_of_input = true;
    // The preview sink, made anew at every pipeline build on the live thread.
    // It must return a new floating element (e.g. an appsink with
    // drop=true, max-buffers=1; its frames are cx x cy in the source's
    // format). Empty: a fakesink.
    std::function<GstElement*()> make_preview_sink;
    // The sound preview sink's factory name ("fakesink" for a silent station).
    std::string sound_sink = "autoaudiosink";
    // Notify other programs over D-Bus: the bus address, empty for the
    // session bus; use_dbus false for none at all.
    bool use_dbus = true;
    std::string dbus_address;
    // Finished clips waiting for the finisher beyond which the oldest waiting
    // clip's uploads and mails are skipped.
    int finisher_queue = 4;
    // The status event's period in ms; 0 for three frame periods.
    int status_period_ms = 0;
    // An extra step of every accepted clip's finishing, after its stills and
    // before its XML record (on the finisher thread); base is the clip path
    // without its extension, clip_ctx the clip's own context.
    std::function<void(AppContext& clip_ctx, const ClipRecord& rec, const std::string& base)> analyse;
};

// A clip the finisher has completed.
struct FinishedClip {
    int result = 0;              // 1 normal, -1 maximum length, -2 cancelled
    std::string path;            // final clip path; empty when the clip was deleted
    int32_t frames = 0;          // clip_frames
    int64_t start_time = 0;      // clip_start_time (capture time)
    int32_t trigger = 0;         // clip_trigger
    // Frames that had reached the detector when the clip ended: its frames
    // are the `frames` source frames before about this one.
    int64_t end_frame = 0;
    std::vector<std::string> files;  // every file written for it (clip, stills, map, thumbnail, XML)
    bool network_skipped = false;    // its uploads and mails were skipped or given up
};

// What the status line shows, re-evaluated every status period.
struct StationStatus {
    int live_state = LiveActions::kStop;
    std::string status_text;     // the status box text (" Detecting ", " D-Recording "...)
    StatusRow row{" status : idle ", 160, 160, 160, false};
    bool manual_rec = false;
    const char* rec_caption = "Rec";
    int32_t max_level = 0;
    int32_t dlev = 0;
    int32_t hit_count = 0;
    int32_t audio_peak = 0;
    int size_meter = 0;          // detect size slider position 0..511
    int64_t clips = 0;           // clips written in this run
    int finisher_waiting = 0;    // finished clips not yet completed
    double progress = -1;        // 0..1 through a file input, -1 when unknown
    std::string message;         // the status message (FTP and mail failures...)
};

// The run's figures, for the end-of-input summary.
struct StationSummary {
    int64_t clips_written = 0;
    int64_t frames_in = 0;           // frames that reached the detector
    int64_t frames_unexamined = 0;   // frames passed unexamined between clips
    int64_t gaps = 0;
    int64_t max_gap_frames = 0;
    double max_gap_ms = 0;           // longest clip change
    double elapsed_s = 0;
    int64_t network_given_up = 0;    // clips whose uploads or mails were given up
    std::vector<std::string> clips;  // paths of the clips written, in order
};

// Events, each optional. See the threading note at the top.
struct StationEvents {
    // A clip was completed by the finisher (files written, uploads done).
    std::function<void(const FinishedClip&)> clip_finished;
    // A clip ended and its record was handed to the finisher (the detector
    // is armed again); path is the clip's temporary capture file.
    std::function<void(int result, const std::string& temp_path)> clip_ended;
    // The live state changed (LiveActions::kStop / kPreview / kDetect).
    std::function<void(int live_state)> state_changed;
    // Every status period, and after every state change.
    std::function<void(const StationStatus&)> status;
    // A failure of the pipeline or the station worth showing ("UE042: ...",
    // the pipeline's own error text, "detection starts again in 10 s").
    std::function<void(const std::string& text)> error;
    // Informational lines (end of input, signals, retries).
    std::function<void(const std::string& text)> log;
    // A file input reached its end.
    std::function<void()> end_of_input;
    // The station has quit: live capture stopped, every finished clip's local
    // files complete. Called once, last.
    std::function<void(int exit_code, const StationSummary&)> stopped;
};

class Station : public Worker {
public:
    // ctx must have been through Application::Startup. GStreamer is
    // initialised when it was not.
    Station(AppContext& ctx, StationOptions options, StationEvents events);
    ~Station() override;  // quits and waits when still running
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Starts the threads. detect_now: start detection at once; otherwise the
    // schedule's auto-start decides.
    void Start(bool detect_now);

    // The live page's buttons (queued; in order).
    void Preview();
    void Detect();
    void StopCapture();      // the Stop button
    void Rec();              // the Rec toggle
    // Calls the element's reserved operation and answers with the block's
    // (max_level, clip_count), as a VLX_QUERY does.
    std::pair<int64_t, int64_t> Query();

    // Stops capture, completes the local files of every finished clip (their
    // waiting uploads and mails are given up), then calls `stopped`.
    void Quit(int exit_code = 0);
    // Blocks until the station has quit (the `stopped` event has returned).
    void Wait();
    bool quit() const;
    // The exit code the station quit with (1 when a file input failed).
    int ExitCode() const;

    // Thread-safe snapshots.
    StationStatus Status() const;
    StationSummary Summary() const;
    int LiveState() const;

    // Worker (Application::Shutdown).
    void PostExit() override { Quit(0); }
    bool Ended() const override { return quit(); }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vlx
