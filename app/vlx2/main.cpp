// vlx2: the station with its window.
//
//   vlx2 [SETTINGS.vxi]
//
// Comes up in order: the window toolkit, the program directory, defaults, the
// settings file (the whole argument text is one path), the live thread, then
// the main window. When the window has closed, the live thread is told to
// end, the settings are saved once, and the program waits for the thread.
#include <QApplication>
#include <QIcon>
#include <QPointer>

#include <gst/gst.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "vlx/app/context.h"
#include "vlx/app/dbus_notify.h"
#include "vlx/app/startup.h"
#include "vlx/capture/live_page.h"
#include "vlx/capture/live_thread.h"
#include "vlx/schedule/sun.h"
#include "vlx/ui/main_window.h"
#include "vlx/ui/preview_sink.h"
#include "vlx/ui/qt_reporter.h"

namespace {

// The plugins live beside the program, in the build's plugins folder, or in
// the installed library folder.
void ScanPluginFolders() {
    char exe[4096] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return;
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    for (const std::string& d : {dir, dir + "/../plugins", dir + "/../lib/vigilux"}) {
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

    // Messages for the window arrive before it exists only if the live side
    // runs early; they are dropped then.
    QObject relay;
    QPointer<vlx::CVLX2Dlg> window;
    vlx::MainQueueBridge bridge(&relay, [&window](const vlx::ThreadMessage& m) {
        if (window) window->OnMainMessage(m);
    });

    auto notifier = std::make_unique<vlx::DbusNotifier>();
    vlx::LiveEngineOptions engine_opt;
    engine_opt.main_thread = bridge.id();
    engine_opt.preview_sink = vlx::kPreviewSinkFactory;
    engine_opt.sound_sink = "autoaudiosink";
    vlx::CLiveThread::Hooks live_hooks;
    live_hooks.notifier = notifier.get();
    // Stored clips join the open clip list; the window is read on its own
    // thread only.
    live_hooks.clip_added = [&relay, &window](const std::string& path) {
        QMetaObject::invokeMethod(&relay, [&window, path] { if (window) window->AddClipPath(path); }, Qt::QueuedConnection);
    };
    vlx::CLiveThread live(ctx, engine_opt, live_hooks);
    live.Start();
    app.AddWorker(&live);

    std::unique_ptr<vlx::Alarm> alarm = vlx::MakeGstAlarm();
    vlx::WindowDeps deps;
    deps.post = [&live](uint32_t cmd) { live.Post(cmd); };
    deps.call_reserved = [&live] { live.CallReserved(); };
    deps.receiver = &frames;
    deps.alarm = alarm.get();
    deps.notifier = notifier.get();
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
    vlx::SetFrameReceiver(nullptr);
    notifier.reset();
    delete dlg;
    return 0;
}
