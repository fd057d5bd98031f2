// CLiveThread: the worker that owns the live pipeline. It takes the live
// commands (message 1125) and the element's clip-end message (1225) strictly
// in queue order. At every clip end it copies what the clip's files need out
// of the parameter block, closes the capture file, opens the next one and
// re-arms the element at once; the clip finisher does the rest (names,
// stills, uploads, mails, record, announcement, batch action).
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

class ClipFinisher;
struct ClipRecord;

// time_offset for the start command: a user-set date and time, UTC, or the
// local zone, from IF.si_cdate / IF.si_utc and the start-up zone bias.
int64_t ComputeTimeOffset(const AppContext& ctx, int64_t utc_now);

// The name suffix of a finished clip: "_" unless AP.ftp_trigsuffix is on, then
// by trigger kind ("_" video, "-" audio, "=" timer, "+" manual, "_" for none).
char ClipSuffix(const AppContext& ctx);

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
        // Receives every ended clip (required).
        ClipFinisher* finisher = nullptr;
        // A clip ended and went to the finisher, with its temporary path.
        std::function<void(int result, const std::string& temp_path)> clip_ended;
        // Single-file mode: the one capture file got its final name at stop.
        std::function<void(const std::string& path)> single_file_done;
    };

    CLiveThread(AppContext& ctx, LiveEngineOptions options, Hooks hooks);
    ~CLiveThread() override;

    // Starts the thread; returns once its id is in the block's notify_thread.
    void Start();
    ThreadId id() const { return id_; }
    void Post(uint32_t command) { PostThreadMessage(id_, WM_LIVE_COMMAND, command, 0); }
    // Held while posting a start together with its detect or record command,
    // so that a file's first frame already sees them.
    std::unique_lock<std::mutex> Batch();

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
    bool Dispatch(const ThreadMessage& m);  // false after the exit command
    void StartCapture();
    void StopCapture();
    void ClipEnd();
    // Hands the clip that just ended to the finisher; the writer has been
    // released.
    void HandOver(std::unique_ptr<ClipRecord> rec);
    void RequestStop();
    // File input: the source is held from the build until the commands that
    // came with the start have been taken, so detection is on for frame 1.
    void ReleaseStartHold(ThreadQueue& queue);

    AppContext& ctx_;
    LiveEngineOptions options_;
    Hooks hooks_;
    std::unique_ptr<LiveEngine> engine_;
    std::mutex engine_mu_;
    std::mutex batch_mu_;  // Build and TearDown against the main thread's views
    std::thread thread_;
    std::atomic<ThreadId> id_{0};
    std::atomic<bool> quit_{false};
    // The clip that ended last has been finished and the element not yet
    // re-armed (its clip_result still names that clip).
    bool finished_since_run_ = false;
    bool start_hold_ = false;
};

}  // namespace vlx
