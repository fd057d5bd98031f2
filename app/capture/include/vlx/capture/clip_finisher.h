// The clip finisher: everything that follows a clip's end once the capture
// file is closed and the detector is armed again: the final name, the move,
// the stills, map and thumbnail, the uploads and mails, the XML record, the
// announcement and the batch action. It runs on a thread of its own, one
// clip after the other in the order the clips ended, so the live thread
// never waits for a disk-full folder tree or a silent server.
//
// What a clip's files are made of is copied out of the parameter block at
// the clip's end (ClipRecord); the element writes the next clip into the
// block's own buffers, never into the record's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vlx/app/context.h"
#include "vlx/capture/station.h"

namespace vlx {

class DbusNotifier;

// A finished clip as the block described it at its end.
struct ClipRecord {
    int result = 0;              // clip_result
    std::string temp_path;       // the closed temporary capture file ("" none)
    DetectParams dp{};           // settings and per-clip results; buffer pointers into the copies below
    Settings ap{};               // the AP.* settings at the clip's end
    int output_kind = kOutputNone;
    int64_t detect_start_time = 0;
    int64_t end_frame = 0;       // frames that had reached the detector at the clip's end
    std::vector<uint8_t> snapshot, hit_map, avr_map, mask;
    // Set when the clip's uploads and mails are to be skipped (queue full,
    // stop); a wait already under way for it ends at once.
    std::atomic<bool> skip_network{false};
};

// Copies what the clip's files need out of the block and the settings.
std::unique_ptr<ClipRecord> TakeClipRecord(const AppContext& ctx, const std::string& temp_path);

class ClipFinisher {
public:
    struct Hooks {
        DbusNotifier* notifier = nullptr;
        // After each clip, on the finisher thread.
        std::function<void(const FinishedClip&)> finished;
        // A queue-full or given-up notice (also in the status message).
        std::function<void(const std::string&)> log;
        // Extra work on the clip's files after the stills and before the XML
        // record; base is the clip path without its extension.
        std::function<void(AppContext& clip_ctx, const ClipRecord& rec, const std::string& base)> analyse;
    };

    // main: the application context (its status message shows the FTP and
    // mail failures; its ftp_cn follows the uploads when the finisher stops).
    ClipFinisher(AppContext& main, Hooks hooks, int queue_limit = 4);
    ~ClipFinisher();  // Stop()
    ClipFinisher(const ClipFinisher&) = delete;
    ClipFinisher& operator=(const ClipFinisher&) = delete;

    void Start();
    // Queues a clip; never blocks. With queue_limit clips already waiting,
    // the oldest waiting clip that still has uploads or mails to do loses
    // them (its local files are still written).
    void Push(std::unique_ptr<ClipRecord> rec);
    // Gives up the uploads and mails of every queued clip and of the one
    // being finished (its wait ends at once); local files are still written.
    void GiveUpNetwork();
    // Waits until every queued clip is finished.
    void Drain();
    // Drain, then end the thread.
    void Stop();

    int Waiting() const;           // queued or being finished
    int64_t given_up() const { return given_up_; }

    // The whole sequence for one clip on the calling thread.
    FinishedClip Finish(ClipRecord& rec);

private:
    // The steps, in their order.
    void Load(const ClipRecord& rec);
    void DeleteUnaccepted(ClipRecord& rec);
    std::string NameClip(const ClipRecord& rec, std::string* hhmm);
    void MoveClip(ClipRecord& rec, const std::string& final_path, const std::string& hhmm, FinishedClip& out);
    void WriteStills(ClipRecord& rec, const std::string& final_path, const std::string& hhmm, FinishedClip& out);
    void Analyse(const ClipRecord& rec, const std::string& base);
    void WriteRecord(const ClipRecord& rec, const std::string& base, FinishedClip& out);
    void Announce(const ClipRecord& rec);
    void RunAction(const ClipRecord& rec, const std::string& final_path);

    bool Upload(ClipRecord& rec, const std::string& file, int kind, const std::string& hhmm);
    bool Mail(ClipRecord& rec, const std::string& file, bool attach);
    void Loop();

    AppContext& main_;
    Hooks hooks_;
    const int limit_;
    AppContext cctx_;  // the clip's own context, loaded from each record
    bool have_ftp_cn_ = false;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<ClipRecord>> queue_;
    ClipRecord* current_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
    std::atomic<int64_t> given_up_{0};
};

}  // namespace vlx
