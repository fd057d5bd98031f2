// vlx2d: the station without a window.
//
//   vlx2d [options] [SETTINGS.vxi]
//
// Starts up as the window does (program directory, defaults, the settings
// file named on the command line or Settings.vxi), then runs the station: the
// schedule and auto-start act as they do in the window, or --detect starts
// detection at once. Error boxes become log lines on standard error.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gst/gst.h>
#include <pthread.h>
#include <unistd.h>

#include "analyse_command.h"
#include "vlx/app/context.h"
#include "vlx/app/dbus_notify.h"
#include "vlx/app/report.h"
#include "vlx/app/startup.h"
#include "vlx/capture/live_page.h"
#include "vlx/capture/live_thread.h"
#include "vlx/capture/sources.h"
#include "vlx/messages.h"
#include "vlx/schedule/schedule.h"
#include "vlx/schedule/sun.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

namespace {

constexpr uint32_t kQuitMessage = 1399;

struct Options {
    bool print_settings = false;
    bool show_secrets = false;
    bool sun = false;
    bool list_devices = false;
    bool detect = false;
    bool fast = false;
    double stop_after = 0;  // seconds; 0 runs until stopped
    double retry_after = 10;  // first wait before detection restarts after a failure
    std::string input;
    std::string out;
    std::vector<std::pair<std::string, std::string>> sets;
    std::string settings_path;
    bool analyse = false;
    std::vector<std::string> clips;  // after --analyse
};

void Usage(std::FILE* out) {
    std::fputs(
        "usage: vlx2d [options] [SETTINGS.vxi]\n"
        "  --detect            start detection now (otherwise the schedule and auto-start decide)\n"
        "  --input FILE|URI    file-input mode on this video file or network camera address\n"
        "  --out DIR           clip directory for this run\n"
        "  --set KEY=VALUE     override a setting for this run (repeatable; not saved)\n"
        "  --fast              play a file as fast as it decodes instead of in real time\n"
        "  --stop-after SEC    stop and exit after this many seconds\n"
        "  --retry-after SEC   a camera that fails is started again after SEC (doubling to 300; default 10)\n"
        "  --print-settings    print every setting as KEY=VALUE, in table order, and exit\n"
        "  --show-secrets      with --print-settings: print credentials and addresses too\n"
        "  --sun               print today's sunrise, sunset and both schedule windows, and exit\n"
        "  --list-devices      print the video, audio and compressor lists, and exit\n"
        "  --analyse CLIP...   write the track of each clip beside it, print its verdict, and exit\n"
        "  -h, --help          this text\n",
        out);
}

// Returns -1 to go on, else the exit code.
int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vlx2d: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (o->analyse) {
            o->clips.push_back(a);
        } else if (a == "--analyse") {
            o->analyse = true;
        } else if (a == "--print-settings") {
            o->print_settings = true;
        } else if (a == "--show-secrets") {
            o->show_secrets = true;
        } else if (a == "--sun") {
            o->sun = true;
        } else if (a == "--list-devices") {
            o->list_devices = true;
        } else if (a == "--detect") {
            o->detect = true;
        } else if (a == "--fast") {
            o->fast = true;
        } else if (a == "--input" || a == "--out" || a == "--set" || a == "--stop-after" || a == "--retry-after") {
            const char* v = value(a.c_str());
            if (!v) return 2;
            if (a == "--input") o->input = v;
            if (a == "--out") o->out = v;
            if (a == "--stop-after") o->stop_after = std::atof(v);
            if (a == "--retry-after") o->retry_after = std::atof(v) > 0.1 ? std::atof(v) : 0.1;
            if (a == "--set") {
                const char* eq = std::strchr(v, '=');
                if (!eq) {
                    std::fprintf(stderr, "vlx2d: --set needs KEY=VALUE, not %s\n", v);
                    return 2;
                }
                o->sets.emplace_back(std::string(v, eq), std::string(eq + 1));
            }
        } else if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "vlx2d: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        } else if (o->settings_path.empty()) {
            o->settings_path = a;
        } else {
            std::fprintf(stderr, "vlx2d: only one settings file may be given\n");
            return 2;
        }
    }
    return -1;
}

void PrintSettings(vlx::AppContext& ctx, bool show_secrets) {
    std::printf("VERSION=%d\n", vlx::LastReadVersion());
    for (const vlx::KeyDef& d : vlx::KeyTable()) {
        std::string value = vlx::KeyValueText(ctx, d);
        if (vlx::IsSecret(d) && !show_secrets && !value.empty()) value = "(set)";
        std::printf("%s=%s\n", d.key, value.c_str());
    }
}

// Overrides for this run only: the values they replaced go back before the
// settings are saved at exit.
class Overrides {
public:
    bool Apply(vlx::AppContext& ctx, const std::string& key, const std::string& value) {
        const vlx::KeyDef* d = vlx::FindKey(key.c_str());
        if (d && !saved_.count(key)) saved_[key] = vlx::KeyValueText(ctx, *d);
        std::string error;
        if (!vlx::SetKeyFromText(ctx, key.c_str(), value.c_str(), &error)) {
            std::fprintf(stderr, "vlx2d: %s\n", error.c_str());
            return false;
        }
        return true;
    }
    void Restore(vlx::AppContext& ctx) {
        std::string error;
        for (auto& [k, v] : saved_) vlx::SetKeyFromText(ctx, k.c_str(), v.c_str(), &error);
    }

private:
    std::map<std::string, std::string> saved_;
};

const char* StateName(int state) {
    switch (state) {
        case vlx::LiveActions::kPreview: return "previewing";
        case vlx::LiveActions::kDetect: return "detecting";
        default: return "idle";
    }
}

double NowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int rc = ParseArgs(argc, argv, &opt);
    if (rc >= 0) return rc;

    // SIGINT and SIGTERM end the station as closing the window does; they are
    // taken by a thread of their own, so every other thread blocks them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    static vlx::AppContext ctx;
    ctx.compute_sun_times = [](vlx::AppContext& c) { vlx::ComputeSunTimes(c); };
    vlx::Application app(ctx);
    app.Startup(opt.settings_path);

    if (opt.sun) {
        vlx::PrintSunReport(ctx, stdout);
        return 0;
    }

    Overrides overrides;
    bool ok = true;
    for (auto& [k, v] : opt.sets) ok = overrides.Apply(ctx, k, v) && ok;
    if (!opt.input.empty()) {
        ok = overrides.Apply(ctx, "IF.fileinmode", "1") && overrides.Apply(ctx, "AP.infname", opt.input) && ok;
    }
    if (!opt.out.empty()) {
        // A clip directory named for this run is made when missing.
        if (g_mkdir_with_parents(opt.out.c_str(), 0755) != 0) {
            std::fprintf(stderr, "vlx2d: cannot create %s\n", opt.out.c_str());
            return 2;
        }
        ok = overrides.Apply(ctx, "AP.db_dir", opt.out) && ok;
    }
    if (!ok) return 2;
    app.before_save = [&overrides](vlx::AppContext& c) { overrides.Restore(c); };

    if (opt.print_settings) {
        PrintSettings(ctx, opt.show_secrets);
        return 0;
    }
    if (opt.analyse) return vlx::RunAnalyseCommand(ctx, opt.clips, stdout, stderr);

    gst_init(nullptr, nullptr);
    // The vlx2f plugin lives beside the program or in the build's plugins
    // folder; both are searched besides GST_PLUGIN_PATH.
    {
        char exe[4096] = {};
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            std::string dir(exe, static_cast<size_t>(n));
            dir = dir.substr(0, dir.rfind('/'));
            for (const std::string& d : {dir, dir + "/../plugins", dir + "/../lib/vigilux"}) {
                gst_registry_scan_path(gst_registry_get(), d.c_str());
            }
        }
    }
    vlx::ThreadQueue main_queue;
    std::thread signal_thread([&stop_signals, id = main_queue.id()] {
        int sig = 0;
        if (sigwait(&stop_signals, &sig) == 0) vlx::PostThreadMessage(id, kQuitMessage, static_cast<uintptr_t>(sig), 0);
    });
    signal_thread.detach();

    vlx::capture::DeviceLists lists = vlx::capture::EnumerateDevices(ctx);
    if (opt.list_devices) {
        for (const auto& [title, list] : {std::pair{"video", &lists.video}, std::pair{"audio", &lists.audio},
                                          std::pair{"compressor", &lists.compressors}}) {
            for (const std::string& e : *list) std::printf("%s\t%s\n", title, e.c_str());
        }
        return 0;
    }

    std::mutex clips_mu;
    std::vector<std::string> clips;
    vlx::DbusNotifier notifier;
    vlx::LiveEngineOptions engine_opt;
    engine_opt.main_thread = main_queue.id();
    engine_opt.fast = opt.fast;
    engine_opt.preview_sink = "fakesink";
    engine_opt.sound_sink = "fakesink";
    vlx::CLiveThread::Hooks live_hooks;
    live_hooks.notifier = &notifier;
    live_hooks.clip_finished = [&](int result, const std::string& path) {
        std::lock_guard<std::mutex> lock(clips_mu);
        if (result == vlx::kClipNormal || (result != 0 && ctx.dp.singlefilemode)) clips.push_back(path);
        std::fprintf(stderr, "vlx2d: clip %s (result %d, %d frames)\n", path.empty() ? "cancelled" : path.c_str(),
                     result, ctx.dp.clip_frames);
    };
    vlx::CLiveThread live(ctx, engine_opt, live_hooks);
    live.Start();
    app.AddWorker(&live);
    live.Post(vlx::LIVE_INIT);

    std::unique_ptr<vlx::Alarm> alarm = vlx::MakeGstAlarm();
    vlx::DetectSchedule* schedule_ptr = nullptr;
    vlx::LivePage::Hooks page_hooks;
    page_hooks.post = [&live](uint32_t cmd) { live.Post(cmd); };
    page_hooks.detect_starting = [&schedule_ptr] {
        if (schedule_ptr) schedule_ptr->OnDetectStarted();
    };
    page_hooks.alarm = alarm.get();
    vlx::LivePage page(ctx, page_hooks);

    vlx::DetectSchedule::Hooks sched_hooks;
    sched_hooks.read_settings = [] { vlx::ReadSettings(ctx); };
    vlx::DetectSchedule schedule(ctx, page, sched_hooks);
    schedule_ptr = &schedule;
    schedule.Initialise();

    notifier.AnswerQueries([&page, &live] {
        if (page.LiveState() != vlx::LiveActions::kStop) live.CallReserved();
        return std::pair<int64_t, int64_t>(ctx.dp.max_level, ctx.dp.clip_count);
    });

    const bool tty = isatty(STDOUT_FILENO);
    // A file ends; a camera (or a network camera) is expected to go on.
    const std::string infname = ctx.ap.infname;
    const bool network = infname.rfind("rtsp://", 0) == 0 || infname.rfind("rtsps://", 0) == 0 ||
                         infname.rfind("http://", 0) == 0 || infname.rfind("https://", 0) == 0;
    const bool file_input = ctx.dp.fileinmode != 0 && !network;
    const double started = NowSeconds();
    if (opt.detect) {
        page.UserDetect();
    } else {
        schedule.AutoStart();
    }

    int exit_code = 0;
    bool quitting = false;       // leave once the live thread has stopped
    bool stop_posted = false;
    double next_tick = started + 1.0;
    double next_status = started;
    double next_log = started;
    std::string last_line;
    // An unattended station must not stay stopped after a camera failure:
    // detection starts again after a wait that doubles up to five minutes.
    double retry_delay = opt.retry_after;
    double retry_at = 0;
    double restarted_at = 0;
    auto retry_later = [&](double now) {
        if (quitting || file_input) return;
        retry_at = now + retry_delay;
        std::fprintf(stderr, "vlx2d: detection starts again in %.0f s\n", retry_delay);
        retry_delay = std::min(retry_delay * 2, 300.0);
    };
    for (;;) {
        vlx::ThreadMessage m;
        if (main_queue.Get(&m, 50)) {
            switch (m.message) {
                case vlx::WM_GRAPH_EVENT:
                    if (m.wparam == vlx::kGraphComplete) {
                        std::fprintf(stderr, "vlx2d: end of input\n");
                    } else {
                        vlx::ErrorBox("UE042: Playback error (EC_ERRORABORT - 0x%08lx). Aborting...\r\n",
                                      static_cast<unsigned long>(m.lparam));
                        std::fprintf(stderr, "vlx2d: %s\n", live.last_error().c_str());
                        if (file_input) exit_code = 1;
                    }
                    {
                        const bool was_detecting = page.LiveState() == vlx::LiveActions::kDetect;
                        page.UserStop();
                        if (file_input) quitting = true;
                        if (was_detecting) retry_later(NowSeconds());
                    }
                    break;
                case vlx::WM_LIVE_STOP_REQUEST: {
                    const bool was_detecting = page.LiveState() == vlx::LiveActions::kDetect;
                    page.UserStop();
                    if (opt.detect && file_input) {
                        quitting = true;
                        exit_code = 1;
                    }
                    if (was_detecting) retry_later(NowSeconds());
                    break;
                }
                case vlx::WM_LIVE_STOPPED:
                    if (quitting) goto done;
                    break;
                case kQuitMessage:
                    std::fprintf(stderr, "vlx2d: signal %d, shutting down\n", static_cast<int>(m.wparam));
                    quitting = true;
                    if (page.LiveState() == vlx::LiveActions::kStop) goto done;
                    page.UserStop();
                    break;
                default:
                    break;
            }
        }
        double now = NowSeconds();
        if (opt.stop_after > 0 && now - started >= opt.stop_after && !stop_posted) {
            stop_posted = true;
            quitting = true;
            if (page.LiveState() == vlx::LiveActions::kStop) goto done;
            page.UserStop();
        }
        if (retry_at > 0 && now >= retry_at) {
            retry_at = 0;
            if (page.LiveState() == vlx::LiveActions::kStop) {
                std::fprintf(stderr, "vlx2d: starting detection again\n");
                page.UserDetect();
                restarted_at = now;
            }
        }
        if (restarted_at > 0 && now - restarted_at > 600 && page.LiveState() == vlx::LiveActions::kDetect) {
            retry_delay = opt.retry_after;  // ten quiet minutes: the next failure waits briefly again
            restarted_at = 0;
        }
        if (now >= next_tick) {
            next_tick += 1.0;
            schedule.MinuteCheck();
        }
        if (now >= next_status) {
            next_status = now + vlx::StatusPeriodMs(ctx.dp.fps) / 1000.0;
            std::string status = page.RefreshStatus();
            double progress = live.Progress();
            char line[512];
            int64_t clip_count;
            {
                std::lock_guard<std::mutex> lock(clips_mu);
                clip_count = static_cast<int64_t>(clips.size());
            }
            std::snprintf(line, sizeof line, "%-10s|%-15s| lev %3d dlev %3d hits %6d | clips %lld%s%s %s",
                          StateName(page.LiveState()), status.c_str(), ctx.dp.max_level, ctx.dp.dlev,
                          ctx.dp.hit_count, static_cast<long long>(clip_count),
                          progress >= 0 ? " | " : "",
                          progress >= 0 ? (std::to_string(static_cast<int>(progress * 100)) + "%").c_str() : "",
                          ctx.status.Get().c_str());
            if (tty) {
                std::printf("\r%-110.110s", line);
                std::fflush(stdout);
            } else if (now >= next_log || last_line.substr(0, 27) != std::string(line).substr(0, 27)) {
                next_log = now + 10.0;
                std::printf("%s\n", line);
                std::fflush(stdout);
            }
            last_line = line;
        }
    }
done:
    if (tty) std::printf("\n");
    app.Shutdown();
    vlx::LiveStats& st = live.stats();
    double elapsed = NowSeconds() - started;
    std::printf("vlx2d: %lld clips written, %lld frames examined, %lld frames between clips (%lld gaps, at most %lld; "
                "longest clip change %.1f ms), %.1f s\n",
                static_cast<long long>(st.clips_written.load()),
                static_cast<long long>(st.frames_in.load() - st.gap_frames.load()),
                static_cast<long long>(st.gap_frames.load()), static_cast<long long>(st.gaps.load()),
                static_cast<long long>(st.max_gap_frames.load()), st.max_gap_us.load() / 1000.0, elapsed);
    {
        std::lock_guard<std::mutex> lock(clips_mu);
        for (const std::string& c : clips) std::printf("  %s\n", c.c_str());
    }
    return exit_code;
}
