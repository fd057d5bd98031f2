#include "vlx/capture/live_thread.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>

#include <glib.h>
#include <sys/stat.h>

#include "vlx/app/dbus_notify.h"
#include "vlx/analysis/clip_analysis.h"
#include "vlx/app/report.h"
#include "vlx/clips/records.h"
#include "vlx/clips/storage.h"
#include "vlx/messages.h"
#include "vlx/notify/ftp.h"
#include "vlx/notify/mail.h"

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
            ThreadMessage m = queue.Get();
            if (m.message == WM_LIVE_CLIP_END) {
                ClipEnd();
                continue;
            }
            if (m.message != WM_LIVE_COMMAND) continue;
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
                    return;
                default: break;
            }
        }
    });
    started.wait();
}

void CLiveThread::RequestStop() { PostThreadMessage(options_.main_thread, WM_LIVE_STOP_REQUEST, 0, 0); }

void CLiveThread::StartCapture() {
    ctx_.dp.timer_trig = 0;
    ctx_.dp.time_offset = ComputeTimeOffset(ctx_, ctx_.clock->Now().sec);
    bool built;
    {
        std::lock_guard<std::mutex> lock(engine_mu_);
        built = engine_->Build();
    }
    if (!built) {
        RequestStop();
        return;
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
        engine_->ReleaseWriter();
        FinishClip();
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
            if (hooks_.clip_added) hooks_.clip_added(final_path);
            if (hooks_.clip_finished) hooks_.clip_finished(dp.clip_result, final_path);
        }
    }
    PostThreadMessage(options_.main_thread, WM_LIVE_STOPPED, 0, 0);
}

void CLiveThread::ClipEnd() {
    if (ctx_.dp.singlefilemode || !engine_->built()) return;
    // The element has disarmed itself; frames pass unexamined (a file source
    // is held) until the re-arm below.
    engine_->ReleaseWriter();
    FinishClip();
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

void CLiveThread::FinishClip() {
    DetectParams& dp = ctx_.dp;
    const Settings& ap = ctx_.ap;
    const int result = dp.clip_result;
    finished_since_run_ = true;
    std::string temp = engine_->temp_path();
    if (result != kClipNormal) {
        if (!temp.empty()) std::remove(temp.c_str());
        engine_->set_temp_path(std::string());
        temp.clear();
    }
    if (result == kClipNone) return;

    std::string hhmm;
    std::string final_path = MakeClipPath(ctx_, dp.clip_start_time, 'M', ClipSuffix(ctx_), &hhmm);
    // Two clips starting in the same second would share a name; the later
    // one takes the next free second rather than overwrite the earlier clip.
    for (int64_t bump = 1; result == kClipNormal && final_path != temp && bump <= 60; ++bump) {
        struct stat st{};
        if (stat(final_path.c_str(), &st) != 0) break;
        final_path = MakeClipPath(ctx_, dp.clip_start_time + bump, 'M', ClipSuffix(ctx_), &hhmm);
    }
    if (result == kClipNormal) {
        if (temp != final_path) std::rename(temp.c_str(), final_path.c_str());
        if (ctx_.output_kind == kOutputWmv && ap.ftp_on && ap.ftp_wmv) {
            UploadClipFile(ctx_, final_path.c_str(), kFtpClip, hhmm.c_str());
        }
        if (hooks_.clip_added) hooks_.clip_added(final_path);
    }

    const std::string base = final_path.substr(0, final_path.size() - 4);
    if ((result == kClipNormal || ap.leavelong) && result != kClipCancelled) {
        EnsureRgbBuffer(ctx_);
        const int w = dp.cx, h = dp.cy;
        if (dp.im_map) {
            MapToRgb(ctx_);
            WriteBmp24(base + "M.bmp", ctx_.rgb.data(), w, h);
        }
        const char* still = dp.im_snap ? "S" : (dp.im_peak ? "P" : nullptr);
        if (still) {
            SnapshotToRgb(ctx_);
            const std::string bmp = base + still + ".bmp";
            const std::string jpg = base + still + ".jpg";
            if (ap.jpg) {
                // The JPEG is encoded from memory; the BMP is kept only when asked.
                if (ap.bmp) WriteBmp24(bmp, ctx_.rgb.data(), w, h);
                if (WriteJpegFromRgb(jpg, ctx_.rgb.data(), w, h)) {
                    if (ap.ftp_on && ap.ftp_jpg) UploadClipFile(ctx_, jpg.c_str(), kFtpStill, hhmm.c_str());
                    if (ap.mail_on && ap.mail_big) SendClipMail(ctx_, jpg.c_str(), true);
                }
            } else if (ap.bmp) {
                WriteBmp24(bmp, ctx_.rgb.data(), w, h);
            }
        }
        bool mail_done = false;
        if (ap.thumbmail && (dp.im_snap || dp.im_peak)) {
            const std::string thumb = base + "T.jpg";
            WriteThumbnail(ctx_, thumb);
            if (ap.ftp_on && ap.ftp_small) UploadClipFile(ctx_, thumb.c_str(), kFtpThumbnail, hhmm.c_str());
            if (!ap.mail_on) {
                mail_done = true;
            } else if (ap.mail_small) {
                SendClipMail(ctx_, thumb.c_str(), true);
            }
        }
        if (!mail_done && ap.mail_on && !ap.mail_big && !ap.mail_small) {
            SendClipMail(ctx_, final_path.c_str(), false);
        }
    }
    engine_->set_temp_path(std::string());

    if (result == kClipNormal && ap.track) {
        // The track, its speed and a verdict beside the clip; a clip that
        // cannot be analysed is kept all the same.
        std::string error;
        if (!analysis::AnalyseClipToSidecar(final_path, analysis::OptionsFromStation(ctx_), nullptr, &error))
            g_message("no track for %s: %s", final_path.c_str(), error.c_str());
    }
    if (result == kClipNormal) {
        if (ap.md_log) WriteClipRecord(ctx_, base + ".xml");
        if (hooks_.notifier) hooks_.notifier->NotifyClip(dp.clip_start_time);
        if (ap.action && ap.bat[0]) RunBatchAction(ap.bat, final_path);
        ++engine_->stats().clips_written;
    }
    if (hooks_.clip_finished) hooks_.clip_finished(result, result == kClipCancelled ? std::string() : final_path);
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
