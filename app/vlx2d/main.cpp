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

#include "vlx/app/context.h"
#include "vlx/app/report.h"
#include "vlx/app/startup.h"
#include "vlx/capture/sources.h"
#include "vlx/capture/station.h"
#include "vlx/schedule/sun.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

#include "clips_command.h"

namespace {

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
        "  -h, --help          this text\n",
        out);
    std::fputs(vlx2d::kToolUsage, out);
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
        if (a == "--print-settings") {
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
    vlx2d::ToolCommand tool;
    if (!vlx2d::TakeToolOptions(&argc, argv, &tool)) return 2;
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
    if (tool.kind != vlx2d::ToolCommand::kNone) return vlx2d::RunToolCommand(app, ctx, tool);

    if (opt.print_settings) {
        PrintSettings(ctx, opt.show_secrets);
        return 0;
    }

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

    vlx::capture::DeviceLists lists = vlx::capture::EnumerateDevices(ctx);
    if (opt.list_devices) {
        for (const auto& [title, list] : {std::pair{"video", &lists.video}, std::pair{"audio", &lists.audio},
                                          std::pair{"compressor", &lists.compressors}}) {
            for (const std::string& e : *list) std::printf("%s\t%s\n", title, e.c_str());
        }
        return 0;
    }

    // The terminal front end: the station runs on its own threads; this
    // thread prints what it reports and ends it on a signal.
    const bool tty = isatty(STDOUT_FILENO);
    std::mutex out_mu;  // events arrive from several station threads
    std::string last_line;
    double next_log = 0;
    vlx::StationOptions so;
    so.fast = opt.fast;
    so.stop_after = opt.stop_after;
    so.retry_after = opt.retry_after;
    so.quit_at_end_of_input = true;
    so.sound_sink = "fakesink";
    vlx::StationEvents ev;
    ev.clip_finished = [&](const vlx::FinishedClip& c) {
        std::lock_guard<std::mutex> lock(out_mu);
        std::fprintf(stderr, "vlx2d: clip %s (result %d, %d frames to frame %lld)\n",
                     c.path.empty() ? "cancelled" : c.path.c_str(), c.result, c.frames,
                     static_cast<long long>(c.end_frame));
    };
    ev.error = [&](const std::string& t) {
        std::lock_guard<std::mutex> lock(out_mu);
        std::fprintf(stderr, "vlx2d: %s\n", t.c_str());
    };
    ev.log = ev.error;
    ev.status = [&](const vlx::StationStatus& s) {
        char line[512];
        std::snprintf(line, sizeof line, "%-10s|%-15s| lev %3d dlev %3d hits %6d | clips %lld%s%s %s",
                      StateName(s.live_state), s.status_text.c_str(), s.max_level, s.dlev, s.hit_count,
                      static_cast<long long>(s.clips), s.progress >= 0 ? " | " : "",
                      s.progress >= 0 ? (std::to_string(static_cast<int>(s.progress * 100)) + "%").c_str() : "",
                      s.message.c_str());
        std::lock_guard<std::mutex> lock(out_mu);
        const double now = NowSeconds();
        if (tty) {
            std::printf("\r%-110.110s", line);
            std::fflush(stdout);
        } else if (now >= next_log || last_line.substr(0, 27) != std::string(line).substr(0, 27)) {
            next_log = now + 10.0;
            std::printf("%s\n", line);
            std::fflush(stdout);
        }
        last_line = line;
    };
    vlx::Station station(ctx, so, ev);
    std::thread signal_thread([&stop_signals, &station] {
        int sig = 0;
        if (sigwait(&stop_signals, &sig) == 0) {
            std::fprintf(stderr, "vlx2d: signal %d, shutting down\n", sig);
            station.Quit(0);
        }
    });
    signal_thread.detach();
    station.Start(opt.detect);
    station.Wait();
    vlx::StationSummary sum = station.Summary();
    if (tty) std::printf("\n");
    app.Shutdown();
    std::printf("vlx2d: %lld clips written, %lld frames examined, %lld frames between clips (%lld gaps, at most %lld; "
                "longest clip change %.1f ms), %.1f s\n",
                static_cast<long long>(sum.clips_written), static_cast<long long>(sum.frames_in - sum.frames_unexamined),
                static_cast<long long>(sum.frames_unexamined), static_cast<long long>(sum.gaps),
                static_cast<long long>(sum.max_gap_frames), sum.max_gap_ms, sum.elapsed_s);
    if (sum.network_given_up > 0) {
        std::printf("vlx2d: uploads and mails of %lld clips given up\n", static_cast<long long>(sum.network_given_up));
    }
    for (const std::string& c : sum.clips) std::printf("  %s\n", c.c_str());
    return station.ExitCode();
}
