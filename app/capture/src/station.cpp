#include "vlx/capture/station.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "vlx/app/dbus_notify.h"
#include "vlx/app/report.h"
#include "vlx/capture/clip_finisher.h"
#include "vlx/capture/live_engine.h"
#include "vlx/capture/live_thread.h"
#include "vlx/messages.h"
#include "vlx/schedule/schedule.h"
#include "vlx/settings/settings_store.h"
#include "vlx/thread_msg.h"

namespace vlx {
namespace {

// Front-end commands, queued to the supervisor thread.
constexpr uint32_t kCmdPreview = 1401;
constexpr uint32_t kCmdDetect = 1402;
constexpr uint32_t kCmdStop = 1403;
constexpr uint32_t kCmdRec = 1404;
constexpr uint32_t kCmdQuit = 1405;
constexpr uint32_t kCmdQuery = 1406;

double NowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

bool IsNetworkAddress(const std::string& s) {
    for (const char* scheme : {"rtsp://", "rtsps://", "http://", "https://"}) {
        if (s.rfind(scheme, 0) == 0) return true;
    }
    return false;
}

}  // namespace

struct Station::Impl {
    AppContext& ctx;
    StationOptions opt;
    StationEvents ev;

    std::unique_ptr<DbusNotifier> notifier;
    std::unique_ptr<ClipFinisher> finisher;
    std::unique_ptr<CLiveThread> live;
    std::unique_ptr<Alarm> alarm;
    std::unique_ptr<LivePage> page;
    std::unique_ptr<DetectSchedule> schedule;

    std::thread thread;
    std::atomic<ThreadId> id{0};
    bool detect_now = false;
    // Quit, Stop and stop-after give up waiting uploads and mails; the end
    // of a file lets them finish (each still bounded by its timeouts).
    bool give_up_network = false;
    bool file_input = false;
    double started = 0;

    mutable std::mutex mu;
    std::mutex live_mu;  // the live thread object against the notifier's thread
    std::condition_variable cv;
    bool started_flag = false;
    bool quit = false;
    int exit_code = 0;
    StationStatus status;
    StationSummary summary;
    std::atomic<int> live_state{LiveActions::kStop};
    std::atomic<bool> quit_requested{false};
    std::atomic<ClipFinisher*> finisher_ptr{nullptr};  // for Quit from any thread  // a Quit that may precede the supervisor's queue
    std::atomic<int> quit_code{0};
    std::promise<std::pair<int64_t, int64_t>>* query = nullptr;

    Impl(AppContext& c, StationOptions o, StationEvents e) : ctx(c), opt(std::move(o)), ev(std::move(e)) {}

    void Post(uint32_t cmd, uintptr_t w = 0, intptr_t l = 0) {
        ThreadId t = id;
        if (t) PostThreadMessage(t, cmd, w, l);
    }
    void Log(const std::string& text) {
        if (ev.log) ev.log(text);
    }
    void Error(const std::string& text) {
        if (ev.error) ev.error(text);
    }
    void StateMaybeChanged() {
        int s = page->LiveState();
        if (live_state.exchange(s) != s && ev.state_changed) ev.state_changed(s);
    }
    // A start posts its detect or record command with it: the live thread
    // takes both before a file's first frame.
    template <class F>
    void Batched(F f) {
        auto lock = live->Batch();
        f();
    }

    void Run(std::promise<void>& ready);
    void PublishStatus();
    void Finish(int code);
};

Station::Station(AppContext& ctx, StationOptions options, StationEvents events)
    : impl_(std::make_unique<Impl>(ctx, std::move(options), std::move(events))) {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
}

Station::~Station() {
    if (impl_->thread.joinable()) {
        Quit(0);
        impl_->thread.join();
    }
}

void Station::Start(bool detect_now) {
    Impl& m = *impl_;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        if (m.started_flag) return;
        m.started_flag = true;
    }
    m.detect_now = detect_now;
    std::promise<void> ready;
    auto f = ready.get_future();
    m.thread = std::thread([&m, &ready] { m.Run(ready); });
    f.wait();
}

void Station::Preview() { impl_->Post(kCmdPreview); }
void Station::Detect() { impl_->Post(kCmdDetect); }
void Station::StopCapture() { impl_->Post(kCmdStop); }
void Station::Rec() { impl_->Post(kCmdRec); }

std::pair<int64_t, int64_t> Station::Query() {
    Impl& m = *impl_;
    if (quit() || !m.id) return {m.ctx.dp.max_level, m.ctx.dp.clip_count};
    std::promise<std::pair<int64_t, int64_t>> p;
    auto f = p.get_future();
    {
        std::lock_guard<std::mutex> lock(m.mu);
        if (m.query) return {m.ctx.dp.max_level, m.ctx.dp.clip_count};
        m.query = &p;
    }
    m.Post(kCmdQuery);
    if (f.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        std::lock_guard<std::mutex> lock(m.mu);
        if (m.query == &p) {
            m.query = nullptr;
            return {m.ctx.dp.max_level, m.ctx.dp.clip_count};
        }
    }
    return f.get();
}

void Station::Quit(int exit_code) {
    Impl& m = *impl_;
    // Uploads and mails waiting now are given up at once, before the stop.
    m.quit_code = exit_code;
    m.quit_requested = true;
    if (ClipFinisher* f = m.finisher_ptr.load()) f->GiveUpNetwork();
    m.Post(kCmdQuit, static_cast<uintptr_t>(exit_code));
}

void Station::Wait() {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> lock(m.mu);
    m.cv.wait(lock, [&] { return m.quit || !m.started_flag; });
}

bool Station::quit() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->quit;
}

int Station::ExitCode() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->exit_code;
}

StationStatus Station::Status() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->status;
}

StationSummary Station::Summary() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->summary;
}

int Station::LiveState() const { return impl_->live_state; }

// ---------------------------------------------------------------------------
// The supervisor thread

void Station::Impl::Run(std::promise<void>& ready) {
    ThreadQueue queue;
    id = queue.id();
    started = NowSeconds();

    if (opt.use_dbus) notifier = std::make_unique<DbusNotifier>(opt.dbus_address);

    ClipFinisher::Hooks fh;
    fh.notifier = notifier.get();
    fh.finished = [this](const FinishedClip& c) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (c.result == kClipNormal) summary.clips.push_back(c.path);
            if (c.network_skipped) summary.network_given_up += 1;
        }
        if (ev.clip_finished) ev.clip_finished(c);
    };
    fh.log = [this](const std::string& t) { Log(t); };
    fh.analyse = opt.analyse;
    finisher = std::make_unique<ClipFinisher>(ctx, fh, opt.finisher_queue);
    finisher->Start();
    finisher_ptr = finisher.get();

    LiveEngineOptions eo;
    eo.main_thread = queue.id();
    eo.fast = opt.fast;
    eo.make_preview_sink = opt.make_preview_sink;
    eo.preview_sink = "fakesink";
    eo.sound_sink = opt.sound_sink;
    CLiveThread::Hooks lh;
    lh.finisher = finisher.get();
    lh.clip_ended = [this](int result, const std::string& temp) {
        if (ev.clip_ended) ev.clip_ended(result, temp);
    };
    lh.single_file_done = [this](const std::string& path) {
        {
            std::lock_guard<std::mutex> lock(mu);
            summary.clips.push_back(path);
        }
        if (ev.clip_finished) {
            FinishedClip c;
            c.result = kClipNormal;
            c.path = path;
            c.files.push_back(path);
            ev.clip_finished(c);
        }
    };
    live = std::make_unique<CLiveThread>(ctx, eo, lh);
    live->Start();
    live->Post(LIVE_INIT);

    alarm = MakeGstAlarm();
    LivePage::Hooks ph;
    ph.post = [this](uint32_t cmd) { live->Post(cmd); };
    ph.detect_starting = [this] {
        if (schedule) schedule->OnDetectStarted();
    };
    ph.alarm = alarm.get();
    page = std::make_unique<LivePage>(ctx, ph);
    DetectSchedule::Hooks sh;
    sh.read_settings = [this] { ReadSettings(ctx); };
    schedule = std::make_unique<DetectSchedule>(ctx, *page, sh);
    schedule->Initialise();
    if (notifier) {
        notifier->AnswerQueries([this] {
            // Answered from the notifier's thread: the station's own query
            // goes through the supervisor.
            std::lock_guard<std::mutex> lock(live_mu);
            if (live && live_state != LiveActions::kStop) live->CallReserved();
            return std::pair<int64_t, int64_t>(ctx.dp.max_level, ctx.dp.clip_count);
        });
    }

    // A file ends; a camera (or a network camera) is expected to go on.
    file_input = ctx.dp.fileinmode != 0 && !IsNetworkAddress(ctx.ap.infname);
    ready.set_value();

    if (quit_requested) {
        // Asked to quit before the station was up (a signal at start-up).
        Finish(quit_code);
        return;
    }
    if (detect_now) {
        Batched([&] { page->UserDetect(); });
    } else {
        Batched([&] { schedule->AutoStart(); });
    }
    StateMaybeChanged();

    bool quitting = false;  // leave once the live thread has stopped
    bool stop_posted = false;
    int code = 0;
    double next_tick = started + 1.0;
    double next_status = started;
    // An unattended station must not stay stopped after a camera failure:
    // detection starts again after a wait that doubles up to five minutes.
    double retry_delay = opt.retry_after;
    double retry_at = 0;
    double restarted_at = 0;
    auto retry_later = [&](double now) {
        if (quitting || file_input) return;
        retry_at = now + retry_delay;
        char text[96];
        std::snprintf(text, sizeof text, "detection starts again in %.0f s", retry_delay);
        Error(text);
        retry_delay = std::min(retry_delay * 2, 300.0);
    };
    auto stop_then_quit = [&] {
        quitting = true;
        if (page->LiveState() == LiveActions::kStop) return true;
        page->UserStop();
        StateMaybeChanged();
        return false;
    };
    for (;;) {
        ThreadMessage msg;
        const int wait_ms = std::max(1, std::min(50, static_cast<int>((next_status - NowSeconds()) * 1000)));
        if (queue.Get(&msg, wait_ms)) {
            bool done = false;
            switch (msg.message) {
                case WM_GRAPH_EVENT: {
                    if (msg.wparam == kGraphComplete) {
                        Log("end of input");
                        if (ev.end_of_input) ev.end_of_input();
                    } else {
                        ErrorBox("UE042: Playback error (EC_ERRORABORT - 0x%08lx). Aborting...\r\n",
                                 static_cast<unsigned long>(msg.lparam));
                        Error(FormatMessage("UE042: Playback error (EC_ERRORABORT - 0x%08lx). Aborting...",
                                            static_cast<unsigned long>(msg.lparam)));
                        std::string detail = live->last_error();
                        if (!detail.empty()) Error(detail);
                        if (file_input) code = 1;
                    }
                    const bool was_detecting = page->LiveState() == LiveActions::kDetect;
                    page->UserStop();
                    StateMaybeChanged();
                    if (file_input && opt.quit_at_end_of_input) quitting = true;
                    if (was_detecting) retry_later(NowSeconds());
                    break;
                }
                case WM_LIVE_STOP_REQUEST: {
                    const bool was_detecting = page->LiveState() == LiveActions::kDetect;
                    page->UserStop();
                    StateMaybeChanged();
                    if (detect_now && file_input && opt.quit_at_end_of_input) {
                        quitting = true;
                        code = 1;
                    }
                    if (was_detecting) retry_later(NowSeconds());
                    break;
                }
                case WM_LIVE_STOPPED:
                    if (quitting && page->LiveState() == LiveActions::kStop) done = true;
                    break;
                case kCmdPreview:
                    if (!quitting) Batched([&] { page->Preview(); });
                    StateMaybeChanged();
                    break;
                case kCmdDetect:
                    if (!quitting) Batched([&] { page->UserDetect(); });
                    StateMaybeChanged();
                    break;
                case kCmdStop:
                    retry_at = 0;
                    finisher->GiveUpNetwork();
                    page->UserStop();
                    StateMaybeChanged();
                    break;
                case kCmdRec:
                    if (!quitting) page->UserRec();
                    break;
                case kCmdQuery: {
                    std::promise<std::pair<int64_t, int64_t>>* p;
                    {
                        std::lock_guard<std::mutex> lock(mu);
                        p = query;
                        query = nullptr;
                    }
                    if (page->LiveState() != LiveActions::kStop) live->CallReserved();
                    if (p) p->set_value({ctx.dp.max_level, ctx.dp.clip_count});
                    break;
                }
                case kCmdQuit:
                    give_up_network = true;
                    finisher->GiveUpNetwork();
                    if (!quitting) code = static_cast<int>(msg.wparam);
                    if (stop_then_quit()) done = true;
                    break;
                default:
                    break;
            }
            if (done) break;
        }
        const double now = NowSeconds();
        if (opt.stop_after > 0 && now - started >= opt.stop_after && !stop_posted) {
            stop_posted = true;
            give_up_network = true;
            finisher->GiveUpNetwork();
            if (stop_then_quit()) break;
        }
        if (retry_at > 0 && now >= retry_at && !quitting) {
            retry_at = 0;
            if (page->LiveState() == LiveActions::kStop) {
                Log("starting detection again");
                Batched([&] { page->UserDetect(); });
                StateMaybeChanged();
                restarted_at = now;
            }
        }
        if (restarted_at > 0 && now - restarted_at > 600 && page->LiveState() == LiveActions::kDetect) {
            retry_delay = opt.retry_after;  // ten quiet minutes: the next failure waits briefly again
            restarted_at = 0;
        }
        if (now >= next_tick) {
            next_tick += 1.0;
            if (!quitting) {
                Batched([&] { schedule->MinuteCheck(); });
                StateMaybeChanged();
            }
        }
        if (now >= next_status) {
            const int period = opt.status_period_ms > 0 ? opt.status_period_ms : StatusPeriodMs(ctx.dp.fps);
            next_status = now + period / 1000.0;
            PublishStatus();
        }
    }
    Finish(code);
}

void Station::Impl::PublishStatus() {
    StationStatus s;
    s.status_text = page->RefreshStatus();
    s.live_state = page->LiveState();
    s.row = ChooseStatusRow(s.live_state, page->manual_rec(), ctx.dp);
    s.manual_rec = page->manual_rec();
    s.rec_caption = page->rec_caption();
    s.max_level = ctx.dp.max_level;
    s.dlev = ctx.dp.dlev;
    s.hit_count = ctx.dp.hit_count;
    s.audio_peak = page->AudioMeter();
    s.size_meter = page->SizeMeter();
    s.finisher_waiting = finisher->Waiting();
    s.progress = live->Progress();
    s.message = ctx.status.Get();
    {
        std::lock_guard<std::mutex> lock(mu);
        s.clips = static_cast<int64_t>(summary.clips.size());
        status = s;
    }
    if (ev.status) ev.status(s);
}

void Station::Impl::Finish(int code) {
    // Every finished clip gets its local files; after a quit what still
    // waits for the network is given up.
    live->PostExit();
    while (!live->Ended()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (give_up_network) finisher->GiveUpNetwork();
    finisher->Stop();
    PublishStatus();
    StationSummary sum;
    {
        LiveStats& st = live->stats();
        std::lock_guard<std::mutex> lock(mu);
        summary.clips_written = st.clips_written;
        summary.frames_in = st.frames_in;
        summary.frames_unexamined = st.gap_frames;
        summary.gaps = st.gaps;
        summary.max_gap_frames = st.max_gap_frames;
        summary.max_gap_ms = static_cast<double>(st.max_gap_us.load()) / 1000.0;
        summary.elapsed_s = NowSeconds() - started;
        sum = summary;
    }
    if (notifier) notifier->AnswerQueries(nullptr);
    schedule.reset();
    page.reset();
    {
        std::lock_guard<std::mutex> lock(live_mu);
        live.reset();
    }
    id = 0;
    if (ev.stopped) ev.stopped(code, sum);
    {
        std::lock_guard<std::mutex> lock(mu);
        quit = true;
        exit_code = code;
    }
    cv.notify_all();
}

}  // namespace vlx
