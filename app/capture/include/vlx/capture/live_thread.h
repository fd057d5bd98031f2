// CLiveThread: the worker that owns the live pipeline. It takes the live
// commands (message 1125) and the element's clip-end message (1225) strictly
// in queue order, and for every finished clip runs the end-of-clip sequence:
// finish the capture file, name it, write stills and records, upload, mail,
// announce, run the batch action, then open the next file and re-arm.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/app/startup.h"
#include "vlx/capture/live_engine.h"
#include "vlx/messages.h"
#include "vlx/thread_msg.h"

namespace vlx {

class DbusNotifier;

// time_offset for the start command: a user-set date and time, UTC, or the
// local zone, from IF.si_cdate / IF.si_utc and the start-up zone bias.
int64_t ComputeTimeOffset(const AppContext& ctx, int64_t utc_now);

// The name suffix of a finished clip: "_" unless AP.ftp_trigsuffix is on, then
// by trigger kind ("_" video, "-" audio, "=" timer, "+" manual, "_" for none).
char ClipSuffix(const AppContext& ctx);

// The log line's account of a finished clip: "clip PATH" for a file that
// was kept, else what became of it (a deleted clip names no file).
std::string ClipOutcomeText(const AppContext& ctx, int result, const std::string& path);

// The batch action command line: the program before the first space, the
// parameters after it, each "%X" replaced by the clip path without its
// extension. Returned as the argument vector that is started.
std::vector<std::string> BatchActionArgs(const std::string& bat, const std::string& clip_path);
// Starts the program without a shell and without waiting; false when it
// could not be started.
bool RunBatchAction(const std::string& bat, const std::string& clip_path);

class CLiveThread : public Worker {
public:
    struct Hooks {
        DbusNotifier* notifier = nullptr;
        // A finished clip was added (the clip database's open list).
        std::function<void(const std::string& path)> clip_added;
        // Every clip end that was handled, with its result and final path
        // (empty for a cancelled clip).
        std::function<void(int result, const std::string& path)> clip_finished;
    };

    CLiveThread(AppContext& ctx, LiveEngineOptions options, Hooks hooks);
    ~CLiveThread() override;

    // Starts the thread; returns once its id is in the block's notify_thread.
    void Start();
    ThreadId id() const { return id_; }
    void Post(uint32_t command) { PostThreadMessage(id_, WM_LIVE_COMMAND, command, 0); }

    // Worker
    void PostExit() override { Post(LIVE_EXIT); }
    bool Ended() const override { return quit_; }

    // Read-only views for the status line (safe from the main thread).
    double Progress();
    LiveStats& stats() { return engine_->stats(); }
    std::string last_error() { return engine_->last_error(); }
    void CallReserved();
    bool pipeline_built();

private:
    void StartCapture();
    void StopCapture();
    void ClipEnd();
    // Files, stills, uploads, mails, record and announcements of the clip that
    // just ended; the writer has been released.
    void FinishClip();
    void RequestStop();

    AppContext& ctx_;
    LiveEngineOptions options_;
    Hooks hooks_;
    std::unique_ptr<LiveEngine> engine_;
    std::mutex engine_mu_;  // Build and TearDown against the main thread's views
    std::thread thread_;
    std::atomic<ThreadId> id_{0};
    std::atomic<bool> quit_{false};
    // The clip that ended last has been finished and the element not yet
    // re-armed (its clip_result still names that clip).
    bool finished_since_run_ = false;
};

}  // namespace vlx
