// vlx2: the station with its window.
//
//   vlx2 [SETTINGS.vxi]
//
// Comes up in order: the window toolkit, the program directory, defaults, the
// settings file (the whole argument text is one path), the main window and,
// at the end of its initialisation, the station (the same one vlx2d runs).
// When the window has closed, the station is told to end, the settings are
// saved once, and the program waits for it.
#include <QApplication>
#include <QPointer>
#include <QIcon>

#include <gst/gst.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "vlx/app/context.h"
#include "vlx/app/startup.h"
#include "vlx/capture/station.h"
#include "vlx/schedule/sun.h"
#include "vlx/ui/main_window.h"
#include "vlx/ui/preview_sink.h"
#include "vlx/ui/qt_reporter.h"
#include "vlx/ui/station_control.h"

#ifndef VLX_INSTALLED_PLUGIN_DIR
#define VLX_INSTALLED_PLUGIN_DIR "../lib/gstreamer-1.0"
#endif

namespace {

// The plugins live beside the program, in the build's plugins folder, or in
// the installed library folder.
void ScanPluginFolders() {
    char exe[4096] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return;
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    for (const std::string& d : {dir, dir + "/../plugins", dir + "/" VLX_INSTALLED_PLUGIN_DIR}) {
        gst_registry_scan_path(gst_registry_get(), d.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vigilux"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vigilux/vigilux.png")));
    vlx::QtReporter reporter;

    std::string arg;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) arg += ' ';
        arg += argv[i];
    }
    static vlx::AppContext ctx;
    ctx.compute_sun_times = [](vlx::AppContext& c) { vlx::ComputeSunTimes(c); };
    vlx::Application app(ctx);
    app.Startup(arg);

    gst_init(nullptr, nullptr);
    ScanPluginFolders();
    vlx::RegisterPreviewSink();
    vlx::FrameReceiver frames;
    vlx::SetFrameReceiver(&frames);

    vlx::StationOptions options;
    options.sound_sink = "autoaudiosink";
    // Stored clips join the open clip list; the window is read on its own
    // thread only.
    QObject relay;
    QPointer<vlx::CVLX2Dlg> window;
    vlx::StationEvents events;
    events.clip_finished = [&relay, &window](const vlx::FinishedClip& c) {
        if (c.path.empty()) return;
        const std::string path = c.path;
        QMetaObject::invokeMethod(&relay, [&window, path] { if (window) window->AddClipPath(path); }, Qt::QueuedConnection);
    };
    auto station = std::make_unique<vlx::StationFront>(ctx, options, std::move(events));
    app.AddWorker(&station->station());

    vlx::WindowDeps deps;
    deps.station = station.get();
    deps.receiver = &frames;
    auto* dlg = new vlx::CVLX2Dlg(ctx, deps);
    window = dlg;
    reporter.SetOwner(dlg);
    dlg->ShowAsStored();
    qapp.exec();

    // Shut-down: boxes from workers can no longer be shown.
    reporter.SetEventLoopGone();
    QCoreApplication::processEvents();
    reporter.SetOwner(nullptr);
    app.Shutdown();
    const vlx::StationSummary sum = station->station().Summary();
    std::fprintf(stderr,
                 "vlx2: %lld clips written, %lld frames examined, %lld frames between clips, %lld frames shown, %.1f s\n",
                 static_cast<long long>(sum.clips_written),
                 static_cast<long long>(sum.frames_in - sum.frames_unexamined),
                 static_cast<long long>(sum.frames_unexamined), static_cast<long long>(frames.frames()), sum.elapsed_s);
    vlx::SetFrameReceiver(nullptr);
    delete dlg;
    station.reset();
    return 0;
}
