// Live video in the window: the real live thread plays a simulated sky in
// file-input mode through the window's preview sink, and the video area
// paints it.
#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTest>

#include <gst/gst.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "test_support.h"
#include "vlx/capture/live_thread.h"
#include "vlx/capture/sources.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"
#include "vlx/ui/main_window.h"
#include "vlx/ui/page_live.h"
#include "vlx/ui/preview_sink.h"
#include "vlx/ui/qt_reporter.h"
#include "vlx/ui/status_box.h"
#include "vlx/ui/station_control.h"
#include "vlx/ui/video_widget.h"

using namespace vlx;

namespace {

// Mean and spread of the picture's luma.
void Stats(const QImage& img, double* mean, double* spread, int* bright) {
    double sum = 0, sq = 0;
    int n = 0;
    *bright = 0;
    for (int y = 0; y < img.height(); y += 2) {
        for (int x = 0; x < img.width(); x += 2) {
            const int l = qGray(img.pixel(x, y));
            sum += l;
            sq += double(l) * l;
            if (l > 100) ++*bright;
            ++n;
        }
    }
    *mean = sum / n;
    *spread = std::sqrt(std::max(0.0, sq / n - *mean * *mean));
}

int Differing(const QImage& a, const QImage& b) {
    int d = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) ++d;
    return d;
}

}  // namespace

class VideoTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        RegisterPreviewSink();
    }

    void liveVideoIsPainted_data() {
        QTest::addColumn<bool>("file");
        QTest::addColumn<bool>("shared");  // the shared Station, or the GUI-thread one
        QTest::newRow("simulated sky file, station") << true << true;
        QTest::newRow("test camera, station") << false << true;
        QTest::newRow("simulated sky file, window's own") << true << false;
    }
    void liveVideoIsPainted() {
        QFETCH(bool, file);
        QFETCH(bool, shared);
        QtReporter reporter;
        test::TempDir dir;
        const std::string avi = dir / "sky.avi";
        if (file) {
            const std::string cmd = test::BuildDir() + "/bin/vlx-skysim --preset two-apart --seconds 8 --width 320 --height 240 --out '" +
                                    avi + "' > /dev/null";
            QCOMPARE(std::system(cmd.c_str()), 0);
        }

        std::filesystem::create_directory(dir / "clips");
        auto ctx = std::make_unique<AppContext>();
        SetDefaults(*ctx);
        CopyText(ctx->program_dir, sizeof ctx->program_dir, dir.str().c_str());
        CopyText(ctx->settings_file, sizeof ctx->settings_file, (dir / "Settings.vxi").c_str());
        CopyText(ctx->ap.db_dir, sizeof ctx->ap.db_dir, (dir / "clips").c_str());
        CopyText(ctx->ap.infname, sizeof ctx->ap.infname, avi.c_str());
        ctx->dp.fileinmode = file ? 1 : 0;
        CopyText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, "NULL");
        if (!file) {
            std::string camera;
            for (const std::string& v : capture::EnumerateDevices(*ctx).video) {
                if (v.find(capture::kTestCameraName) != std::string::npos) camera = v;
            }
            QVERIFY(!camera.empty());
            CopyText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, camera.c_str());
        }
        ctx->dp.cxin = ctx->dp.cx = 320;
        ctx->dp.cyin = ctx->dp.cy = 240;

        FrameReceiver frames;
        SetFrameReceiver(&frames);
        // The window's own station over a live thread, or the shared one.
        QObject relay;
        LocalStation* local_ptr = nullptr;
        MainQueueBridge bridge(&relay, [&local_ptr](const ThreadMessage& m) {
            if (local_ptr) local_ptr->OnMainMessage(m);
        });
        std::unique_ptr<CLiveThread> live;
        std::unique_ptr<LocalStation> local;
        std::unique_ptr<StationFront> front;
        if (shared) {
            StationOptions so;
            so.sound_sink = "fakesink";
            so.use_dbus = false;
            front = std::make_unique<StationFront>(*ctx, so);
        } else {
            LiveEngineOptions opt;
            opt.main_thread = bridge.id();
            opt.preview_sink = kPreviewSinkFactory;
            opt.sound_sink = "fakesink";
            live = std::make_unique<CLiveThread>(*ctx, opt, CLiveThread::Hooks{});
            live->Start();
            LocalStation::Hooks hooks;
            hooks.post = [&live](uint32_t c) { live->Post(c); };
            hooks.call_reserved = [&live] { live->CallReserved(); };
            local = std::make_unique<LocalStation>(*ctx, hooks);
            local_ptr = local.get();
        }
        WindowDeps deps;
        deps.station = shared ? static_cast<StationControl*>(front.get()) : local.get();
        deps.receiver = &frames;
        auto win = std::make_unique<CVLX2Dlg>(*ctx, deps);
        reporter.SetOwner(win.get());
        win->show();
        QVERIFY(QTest::qWaitForWindowExposed(win.get()));
        win->FitWindowToVideo();
        VideoWidget* video = win->live_page()->video();

        // Before a pipeline runs the area shows the black still.
        QImage still = video->grab().toImage();
        double mean, spread;
        int bright;
        Stats(still, &mean, &spread, &bright);
        QCOMPARE(bright, 0);

        QTest::mouseClick(win->findChild<QPushButton*>("Detect"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(video->frames_shown() > 10, 20000);
        QImage first = video->grab().toImage();
        const int64_t shown = video->frames_shown();
        QTRY_VERIFY_WITH_TIMEOUT(video->frames_shown() > shown + 10, 20000);
        QImage second = video->grab().toImage();

        // A night sky: dark on the whole, with stars, and moving on.
        Stats(second, &mean, &spread, &bright);
        QVERIFY2(mean < 90, qPrintable(QString::number(mean)));
        QVERIFY2(bright > 0, "no stars");
        QVERIFY2(spread > 3, qPrintable(QString::number(spread)));
        QVERIFY(Differing(first, second) > 0);
        QCOMPARE(second.size(), QSize(640, 480));

        const char* shot = std::getenv("VLX_SCREENSHOT");
        if (shot && file && shared) win->grab().save(QString::fromLocal8Bit(shot));

        // The first meteor's clip ends: its map picture becomes the live still.
        if (file && shared) {
            const QImage black = video->still();
            QTRY_VERIFY_WITH_TIMEOUT(video->still() != black, 20000);
            QCOMPARE(video->still().size(), QSize(320, 240));
        }

        QTest::mouseClick(win->findChild<QPushButton*>("Stop"), Qt::LeftButton);
        QTRY_VERIFY(!video->live());
        QTRY_VERIFY(win->findChild<QPushButton*>("Preview")->isEnabled());
        win->close();
        if (live) {
            live->PostExit();
            QTRY_VERIFY_WITH_TIMEOUT(live->Ended(), 20000);
        } else {
            front->station().Quit();
            QTRY_VERIFY_WITH_TIMEOUT(front->station().quit(), 20000);
        }
        local_ptr = nullptr;
        win.reset();
        SetFrameReceiver(nullptr);
        reporter.SetOwner(nullptr);
    }

    // The buttons through the shared station: its commands are queued, so the
    // page follows the state when the station reports it.
    void stationButtonsAndRefusal() {
        QtReporter reporter;
        test::TempDir dir;
        std::filesystem::create_directory(dir / "clips");
        auto ctx = std::make_unique<AppContext>();
        SetDefaults(*ctx);
        CopyText(ctx->program_dir, sizeof ctx->program_dir, dir.str().c_str());
        CopyText(ctx->ap.db_dir, sizeof ctx->ap.db_dir, (dir / "clips").c_str());
        CopyText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, "NULL");
        for (const std::string& v : capture::EnumerateDevices(*ctx).video) {
            if (v.find(capture::kTestCameraName) != std::string::npos) {
                CopyText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, v.c_str());
            }
        }
        ctx->dp.cxin = ctx->dp.cx = 320;
        ctx->dp.cyin = ctx->dp.cy = 240;
        StationOptions so;
        so.sound_sink = "fakesink";
        so.use_dbus = false;
        StationFront front(*ctx, so);
        WindowDeps deps;
        deps.station = &front;
        auto win = std::make_unique<CVLX2Dlg>(*ctx, deps);
        reporter.SetOwner(win.get());
        win->show();
        auto button = [&](const char* name) { return win->findChild<QPushButton*>(name); };
        auto enabled = [&] {
            QString e;
            for (const char* b : {"Stop", "Preview", "Detect", "Rec"}) e += button(b)->isEnabled() ? '1' : '0';
            return e;
        };
        QTest::mouseClick(button("Preview"), Qt::LeftButton);
        QTRY_COMPARE(enabled(), QStringLiteral("1011"));
        QTest::mouseClick(button("Rec"), Qt::LeftButton);
        QTRY_COMPARE(button("Rec")->text(), QStringLiteral("RecOff"));
        QTest::mouseClick(button("Detect"), Qt::LeftButton);
        QTRY_COMPARE(enabled(), QStringLiteral("1101"));
        QTRY_COMPARE(win->status_box()->text().startsWith(QLatin1String(" Recording")) ||
                         win->status_box()->text().startsWith(QLatin1String(" activating")) ||
                         win->status_box()->text().startsWith(QLatin1String(" Detecting")),
                     true);
        QTest::mouseClick(button("Stop"), Qt::LeftButton);
        QTRY_COMPARE(enabled(), QStringLiteral("0110"));
        QTRY_COMPARE(button("Rec")->text(), QStringLiteral("Rec"));

        // A start the size rule refuses: the box comes from the station's
        // thread, is answered here, and nothing starts.
        ctx->dp.cx = 640;
        QString text;
        auto* poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, [poll, &text] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            poll->stop();
            poll->deleteLater();
            text = box->text();
            box->accept();
        });
        poll->start(10);
        QTest::mouseClick(button("Detect"), Qt::LeftButton);
        QTRY_COMPARE(text, QStringLiteral("Xi must be >= Xo, Yi must be >= Yo\n Please set proper value"));
        QCOMPARE(front.station().LiveState(), int(LiveActions::kStop));
        QCOMPARE(enabled(), QStringLiteral("0110"));
        win->close();
        front.station().Quit();
        QTRY_VERIFY_WITH_TIMEOUT(front.station().quit(), 20000);
        win.reset();
        reporter.SetOwner(nullptr);
    }
};

QTEST_MAIN(VideoTest)
#include "video_test.moc"
