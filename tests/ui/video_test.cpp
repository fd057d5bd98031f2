// Live video in the window: the real live thread plays a simulated sky in
// file-input mode through the window's preview sink, and the video area
// paints it.
#include <QApplication>
#include <QImage>
#include <QPushButton>
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
        QTest::newRow("simulated sky file") << true;
        QTest::newRow("test camera") << false;
    }
    void liveVideoIsPainted() {
        QFETCH(bool, file);
        QtReporter reporter;
        test::TempDir dir;
        const std::string avi = dir / "sky.avi";
        if (file) {
            const std::string cmd = test::BuildDir() + "/bin/vlx-skysim --preset demo --seconds 8 --width 320 --height 240 --out '" +
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
        QObject relay;
        CVLX2Dlg* window = nullptr;
        MainQueueBridge bridge(&relay, [&window](const ThreadMessage& m) {
            if (window) window->OnMainMessage(m);
        });
        LiveEngineOptions opt;
        opt.main_thread = bridge.id();
        opt.preview_sink = kPreviewSinkFactory;
        opt.sound_sink = "fakesink";
        CLiveThread live(*ctx, opt, {});
        live.Start();
        WindowDeps deps;
        deps.post = [&live](uint32_t c) { live.Post(c); };
        deps.call_reserved = [&live] { live.CallReserved(); };
        deps.receiver = &frames;
        auto win = std::make_unique<CVLX2Dlg>(*ctx, deps);
        window = win.get();
        reporter.SetOwner(window);
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
        if (shot && file) win->grab().save(QString::fromLocal8Bit(shot));

        QTest::mouseClick(win->findChild<QPushButton*>("Stop"), Qt::LeftButton);
        QVERIFY(!video->live());
        win->close();
        live.PostExit();
        QTRY_VERIFY_WITH_TIMEOUT(live.Ended(), 20000);
        window = nullptr;
        SetFrameReceiver(nullptr);
        reporter.SetOwner(nullptr);
    }
};

QTEST_MAIN(VideoTest)
#include "video_test.moc"
