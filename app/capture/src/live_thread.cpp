#include "vlx/capture/live_thread.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>

#include <glib.h>
#include <sys/stat.h>

#include "vlx/capture/clip_finisher.h"
#include "vlx/app/report.h"
#include "vlx/clips/records.h"
#include "vlx/clips/storage.h"
#include "vlx/messages.h"

namespace vlx {
namespace {

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, from.size(), from) == 0) {
            out += to;
            i += from.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

}  // namespace

int64_t ComputeTimeOffset(const AppContext& ctx, int64_t utc_now) {
    if (ctx.dp.si_cdate) {
        std::tm tm{};
        tm.tm_year = ctx.ap.si_yyyymmdd / 10000 - 1900;
        tm.tm_mon = ctx.ap.si_yyyymmdd % 10000 / 100 - 1;
        tm.tm_mday = ctx.ap.si_yyyymmdd % 100;
        tm.tm_hour = ctx.ap.si_hhmmss / 10000;
        tm.tm_min = ctx.ap.si_hhmmss % 10000 / 100;
        tm.tm_sec = ctx.ap.si_hhmmss % 100;
        tm.tm_isdst = ctx.daylight;
        int64_t e = static_cast<int64_t>(mktime(&tm));
        return utc_now + ctx.tz_bias - e;
    }
    if (ctx.dp.si_utc) return 0;
    return static_cast<int64_t>(ctx.tz_bias);
}

char ClipSuffix(const AppContext& ctx) {
    if (!ctx.ap.ftp_trigsuffix) return '_';
    switch (ctx.dp.clip_trigger) {
        case kTriggerAudio: return '-';
        case kTriggerTimer: return '=';
        case kTriggerManual: return '+';
        default: return '_';  // video, and a clip without a trigger kind
    }
}

std::vector<std::string> BatchActionArgs(const std::string& bat, const std::string& clip_path) {
    // "%X" stands for the clip path without its extension. The cut is at the
    // first dot of the file name, not of the whole path, so a folder with a
    // dot in its name keeps its full path.
    size_t slash = clip_path.rfind('/');
    size_t dot = clip_path.find('.', slash == std::string::npos ? 0 : slash + 1);
    std::string stem = clip_path.substr(0, dot);

    size_t space = bat.find(' ');
    std::string program = bat.substr(0, space);
    std::string params;
    if (space != std::string::npos) {
        size_t start = bat.find_first_not_of(' ', space);
        if (start != std::string::npos) params = bat.substr(start);
    }
    std::vector<std::string> args{ReplaceAll(program, "%X", stem)};
    params = ReplaceAll(params, "%X", stem);
    if (!params.empty()) {
        // Words as a shell would split them (quotes honoured), without any
        // expansion or a shell being started.
        gchar** argv = nullptr;
        gint argc = 0;
        if (g_shell_parse_argv(params.c_str(), &argc, &argv, nullptr)) {
            for (gint i = 0; i < argc; ++i) args.emplace_back(argv[i]);
            g_strfreev(argv);
        } else {
            args.push_back(params);
        }
    }
    return args;
}

bool RunBatchAction(const std::string& bat, const std::string& clip_path) {
    std::vector<std::string> args = BatchActionArgs(bat, clip_path);
    if (args.empty() || args[0].empty()) return false;
    std::vector<gchar*> argv;
    for (auto& a : args) argv.push_back(const_cast<gchar*>(a.c_str()));
    argv.push_back(nullptr);
    GError* err = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib starts the program through an
    // intermediate child, so it never becomes our zombie.
    gboolean ok = g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, &err);
    if (!ok) {
        g_message("batch action %s not started: %s", args[0].c_str(), err ? err->message : "?");
        if (err) g_error_free(err);
    }
    return ok;
}

CLiveThread::CLiveThread(AppContext& ctx, LiveEngineOptions options, Hooks hooks)
    : ctx_(ctx), options_(std::move(options)), hooks_(std::move(hooks)) {
    engine_ = std::make_unique<LiveEngine>(ctx_, options_);
}

CLiveThread::~CLiveThread() {
    if (thread_.joinable()) {
        if (!quit_) PostExit();
        thread_.join();
    }
}

void CLiveThread::Start() {
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] {
        ThreadQueue queue;
        id_ = queue.id();
        ctx_.dp.notify_thread = queue.id();
        ready.set_value();
        for (;;) {
            if (start_hold_) ReleaseStartHold(queue);
            ThreadMessage m = queue.Get();
            if (!Dispatch(m)) return;
        }
    });
    started.wait();
}

std::unique_lock<std::mutex> CLiveThread::Batch() { return std::unique_lock<std::mutex>(batch_mu_); }

bool CLiveThread::Dispatch(const ThreadMessage& m) {
    if (m.message == WM_LIVE_CLIP_END) {
        ClipEnd();
        return true;
    }
    if (m.message != WM_LIVE_COMMAND) return true;
    switch (m.wparam) {
        case LIVE_INIT: break;
        case LIVE_START: StartCapture(); break;
        case LIVE_STOP: StopCapture(); break;
        case LIVE_DETECT_ON:
            ctx_.dp.timer_trig = 0;
            ctx_.dp.detect_on = 1;
            LogDetectStart(ctx_);
            break;
        case LIVE_DETECT_OFF: ctx_.dp.detect_on = 0; break;
        case LIVE_REC_ON: ctx_.dp.force_trig = 1; break;
        case LIVE_REC_OFF: ctx_.dp.force_trig = 0; break;
        case LIVE_EXIT:
            StopCapture();
            ctx_.dp.notify_thread = 0;
            quit_ = true;
            return false;
        default: break;
    }
    return true;
}

void CLiveThread::ReleaseStartHold(ThreadQueue& queue) {
    // Whoever posted the start with its detect or record command has posted
    // both once the batch lock is free; take them before the first frame.
    { std::lock_guard<std::mutex> wait_for_batch(batch_mu_); }
    ThreadMessage m;
    while (start_hold_ && queue.Get(&m, 0)) {
        if (m.message == WM_LIVE_COMMAND && (m.wparam == LIVE_STOP || m.wparam == LIVE_EXIT)) {
            start_hold_ = false;  // the stop tears the pipeline down
            engine_->ReleaseStart();
        }
        if (!Dispatch(m)) return;
    }
    if (start_hold_) {
        start_hold_ = false;
        engine_->ReleaseStart();
    }
}

void CLiveThread::RequestStop() { PostThreadMessage(options_.main_thread, WM_LIVE_STOP_REQUEST, 0, 0); }

void CLiveThread::StartCapture() {
    ctx_.dp.timer_trig = 0;
    ctx_.dp.time_offset = ComputeTimeOffset(ctx_, ctx_.clock->Now().sec);
    bool built;
    const bool was_built = engine_->built();
    {
        std::lock_guard<std::mutex> lock(engine_mu_);
        built = engine_->Build();
    }
    if (!built) {
        RequestStop();
        return;
    }
    if (!was_built && ctx_.dp.fileinmode) {
        engine_->HoldAtStart();
        start_hold_ = true;
    }
    if (engine_->Run()) {
        finished_since_run_ = false;
    } else {
        // A built pipeline that cannot run records nothing: stop as the Stop
        // button does rather than sit there looking like detection.
        RequestStop();
    }
}

void CLiveThread::StopCapture() {
    DetectParams& dp = ctx_.dp;
    // A clip that ended while its end message still waits behind this stop:
    // finish it rather than leave it under its temporary name.
    if (engine_->built() && !dp.singlefilemode && dp.clip_result != 0 && !finished_since_run_ &&
        !engine_->temp_path().empty()) {
        auto rec = TakeClipRecord(ctx_, engine_->temp_path());
        engine_->ReleaseWriter();
        rec->end_frame = engine_->stats().frames_in;
        HandOver(std::move(rec));
    }
    {
        std::lock_guard<std::mutex> lock(engine_mu_);
        engine_->TearDown();
    }
    std::string temp = engine_->temp_path();
    // No clip in the file, or only the fresh file opened after the last one.
    if (dp.clip_result == 0 || (finished_since_run_ && !dp.singlefilemode)) {
        if (!temp.empty()) std::remove(temp.c_str());
        engine_->set_temp_path(std::string());
    } else if (dp.singlefilemode && !temp.empty()) {
        size_t slash = temp.rfind('/');
        std::string final_path = temp;
        final_path[slash == std::string::npos ? 0 : slash + 1] = 'M';
        if (std::rename(temp.c_str(), final_path.c_str()) == 0) {
            engine_->set_temp_path(final_path);
            ++engine_->stats().clips_written;
            if (hooks_.single_file_done) hooks_.single_file_done(final_path);
        }
    }
    PostThreadMessage(options_.main_thread, WM_LIVE_STOPPED, 0, 0);
}

void CLiveThread::ClipEnd() {
    if (ctx_.dp.singlefilemode || !engine_->built()) return;
    // The element has disarmed itself; frames pass unexamined (a file source
    // is held) until the re-arm below. What the clip's files need is copied
    // first: the re-arm clears the block's pictures for the next clip.
    auto rec = TakeClipRecord(ctx_, engine_->temp_path());
    engine_->ReleaseWriter();
    // A file source is held by now: the count is the clip's last frame.
    rec->end_frame = engine_->stats().frames_in;
    HandOver(std::move(rec));
    if (engine_->input_ended()) {
        // The file ended with this clip: nothing more will come to re-arm for.
        engine_->PostEndOfInput();
        return;
    }
    if (engine_->PrepareOutputFile()) {
        if (engine_->Run()) {
            finished_since_run_ = false;
        } else {
            ErrorBox("Couldn't restart the graph!  hr=0x80004005");
        }
    } else {
        RequestStop();
    }
}

void CLiveThread::HandOver(std::unique_ptr<ClipRecord> rec) {
    finished_since_run_ = true;
    engine_->set_temp_path(std::string());
    const int result = rec->result;
    const std::string temp = rec->temp_path;
    if (result == kClipNormal) ++engine_->stats().clips_written;
    if (hooks_.finisher) {
        hooks_.finisher->Push(std::move(rec));
    } else {
        if (!temp.empty()) std::remove(temp.c_str());  // nobody to finish it
    }
    if (hooks_.clip_ended) hooks_.clip_ended(result, temp);
}

double CLiveThread::Progress() {
    std::lock_guard<std::mutex> lock(engine_mu_);
    return engine_->Progress();
}

void CLiveThread::CallReserved() {
    std::lock_guard<std::mutex> lock(engine_mu_);
    engine_->CallReserved();
}

bool CLiveThread::pipeline_built() {
    std::lock_guard<std::mutex> lock(engine_mu_);
    return engine_->built();
}

}  // namespace vlx
