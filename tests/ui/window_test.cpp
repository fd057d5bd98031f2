// The main window with its real pages and the live page's logic; the live
// side is a recorder of the commands the page posts (the video test runs the
// real pipeline).
// GLib first: its headers use a name Qt defines as a keyword.
#include <gio/gio.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gst/gst.h>

#include <atomic>
#include <climits>
#include <memory>
#include <set>
#include <thread>

#include "dbus_session.h"
#include "test_support.h"
#include "vlx/app/dbus_notify.h"
#include "vlx/app/report.h"
#include "vlx/app/startup.h"
#include "vlx/messages.h"
#include "vlx/schedule/sun.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"
#include "vlx/ui/main_window.h"
#include "vlx/ui/page_live.h"
#include "vlx/ui/preview_sink.h"
#include "vlx/ui/qt_reporter.h"
#include "vlx/ui/status_box.h"
#include "vlx/ui/video_widget.h"

using namespace vlx;

namespace {

// Answers the next modal widget the application shows: `act` gets it, then
// it is closed unless `act` closed it already.
void AnswerModal(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w) return;
        poll->stop();
        poll->deleteLater();
        act(w);
        if (w->isVisible()) {
            if (auto* d = qobject_cast<QDialog*>(w)) d->accept();
        }
    });
    poll->start(10);
}

// Keys the window sets itself, not a page: the window rectangle and show
// state, the stamp font cells (from the font size), and the older plain forms
// of three credentials.
bool WindowOwned(const KeyDef& d) {
    static const std::set<std::string> own{"AP.dlgrect.top",  "AP.dlgrect.left", "AP.dlgrect.bottom",
                                           "AP.dlgrect.right", "AP.showcmd",      "IF.si_fontx",
                                           "IF.si_fonty"};
    return own.count(d.key) || (d.kind == KeyKind::Keep && IsSecret(d));
}

// Sends VLX_QUERY as another program would and waits for VLX_ANSER, keeping
// the window's event loop running meanwhile.
bool QueryStation(const std::string& address, uint64_t* w, int64_t* l) {
    GDBusConnection* conn = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!conn) return false;
    GMainContext* gctx = g_main_context_new();
    struct Got {
        bool seen = false;
        uint64_t w = 0;
        int64_t l = 0;
    } got;
    g_main_context_push_thread_default(gctx);
    guint sub = g_dbus_connection_signal_subscribe(
        conn, nullptr, kDbusInterface, kAnswerSignal, kDbusPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params, gpointer data) {
            auto* g = static_cast<Got*>(data);
            guint64 wp = 0;
            gint64 lp = 0;
            g_variant_get(params, "(tx)", &wp, &lp);
            *g = Got{true, wp, lp};
        },
        &got, nullptr);
    g_main_context_pop_thread_default(gctx);
    g_dbus_connection_call_sync(conn, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                                nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_dbus_connection_emit_signal(conn, nullptr, "/some/where", kDbusInterface, kQuerySignal,
                                  g_variant_new("(tx)", guint64(0), gint64(0)), nullptr);
    g_dbus_connection_flush_sync(conn, nullptr, nullptr);
    QElapsedTimer waited;
    waited.start();
    while (!got.seen && waited.elapsed() < 10000) {
        g_main_context_iteration(gctx, FALSE);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    g_dbus_connection_signal_unsubscribe(conn, sub);
    g_object_unref(conn);
    g_main_context_unref(gctx);
    *w = got.w;
    *l = got.l;
    return got.seen;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDir> dir_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<LocalStation> station_;
    std::unique_ptr<CVLX2Dlg> win_;
    std::vector<uint32_t> posted_;
    QtReporter* reporter_ = nullptr;

    DbusNotifier* notifier_ = nullptr;
    int reserved_calls_ = 0;

    void Make(std::function<void(AppContext&)> setup = {}) {
        win_.reset();
        station_.reset();
        dir_ = std::make_unique<test::TempDir>();
        ctx_ = std::make_unique<AppContext>();
        SetDefaults(*ctx_);
        CopyText(ctx_->program_dir, sizeof ctx_->program_dir, dir_->str().c_str());
        CopyText(ctx_->settings_file, sizeof ctx_->settings_file, (*dir_ / "Settings.vxi").c_str());
        CopyText(ctx_->ap.db_dir, sizeof ctx_->ap.db_dir, dir_->str().c_str());
        ctx_->compute_sun_times = [](AppContext& c) { ComputeSunTimes(c); };
        if (setup) setup(*ctx_);
        posted_.clear();
        LocalStation::Hooks hooks;
        hooks.post = [this](uint32_t c) { posted_.push_back(c); };
        hooks.sleep = [](int) {};
        reserved_calls_ = 0;
        hooks.call_reserved = [this] { ++reserved_calls_; };
        station_ = std::make_unique<LocalStation>(*ctx_, hooks);
        WindowDeps deps;
        deps.station = station_.get();
        deps.notifier = notifier_;
        win_ = std::make_unique<CVLX2Dlg>(*ctx_, deps);
        reporter_->SetOwner(win_.get());
        win_->show();
        QVERIFY(QTest::qWaitForWindowExposed(win_.get()));
    }
    template <class T>
    T* Find(const char* name) {
        T* w = win_->findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no widget %s", name);
        return w;
    }
    void Click(const char* name) { QTest::mouseClick(Find<QPushButton>(name), Qt::LeftButton); }

private slots:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        RegisterPreviewSink();
        reporter_ = new QtReporter;
    }
    void cleanup() {
        win_.reset();
        station_.reset();
    }
    void cleanupTestCase() { delete reporter_; }

    void sheetsAndCaption() {
        Make();
        QCOMPARE(win_->windowTitle(), QStringLiteral("Vigilux"));
        QStringList left, right;
        for (int i = 0; i < win_->left_sheet()->count(); ++i) left << win_->left_sheet()->tabText(i);
        for (int i = 0; i < win_->right_sheet()->count(); ++i) right << win_->right_sheet()->tabText(i);
        QCOMPARE(left, (QStringList{"Input", "Operation", "Profile", "DB"}));
        QCOMPARE(right, (QStringList{"Live", "Replay"}));
        QCOMPARE(win_->minimumSize(), QSize(790, 459));
        QCOMPARE(win_->left_sheet()->geometry(), QRect(2, 2, 320, win_->height() - 2));
        QCOMPARE(win_->right_sheet()->x(), 324);
        QCOMPARE(win_->right_sheet()->width(), win_->width() - 324 - 2);
        QVERIFY(!win_->windowIcon().isNull());
        QCOMPARE(station_->minute_timer()->interval(), 1000);
        QVERIFY(station_->minute_timer()->isActive());
        QCOMPARE(posted_, (std::vector<uint32_t>{LIVE_INIT}));
        // Leaving the live page turns the preview off; the replay page takes
        // the picture.
        win_->right_sheet()->setCurrentIndex(1);
        QCOMPARE(ctx_->dp.preview_off, 1);
        QCOMPARE(ctx_->dp.live_shown, 0);
        win_->right_sheet()->setCurrentIndex(0);
        QCOMPARE(ctx_->dp.preview_off, 0);
        QCOMPARE(ctx_->dp.live_shown, 1);
    }

    void detectSizeSlider_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("size");
        QTest::newRow("299") << 299 << 299;
        QTest::newRow("300") << 300 << 300;
        QTest::newRow("301") << 301 << 400;
        QTest::newRow("512") << 512 << 21500;
        QTest::newRow("1") << 1 << 1;
    }
    void detectSizeSlider() {
        QFETCH(int, position);
        QFETCH(int, size);
        Make();
        auto* slider = Find<QSlider>("dsizeSlider");
        slider->setValue(position == 1 ? 2 : 1);
        slider->setValue(position);
        QCOMPARE(ctx_->dp.dsize, size);
        QCOMPARE(Find<QSpinBox>("IF.dsize")->value(), size);
    }

    void typedSizeBeyondSliderIsKept() {
        Make();
        auto* box = Find<QSpinBox>("IF.dsize");
        box->selectAll();
        QTest::keyClicks(box, "25000");
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(ctx_->dp.dsize, 25000);
        QCOMPARE(Find<QSlider>("dsizeSlider")->value(), 512);
        QCOMPARE(box->value(), 25000);
        // Typing past the box's end clamps to it.
        box->setValue(1310720 + 5);
        QCOMPARE(ctx_->dp.dsize, 1310720);
    }

    void levelAndAudioControls() {
        Make();
        Find<QSlider>("dlevSlider")->setValue(77);
        QCOMPARE(ctx_->dp.dlev, 77);
        QCOMPARE(Find<QSpinBox>("IF.dlev")->value(), 77);
        Find<QSpinBox>("IF.dlev")->setValue(300);
        QCOMPARE(ctx_->dp.dlev, 255);
        QCOMPARE(Find<QSlider>("dlevSlider")->value(), 255);
        Find<QSpinBox>("IF.alev")->setValue(40000);
        QCOMPARE(ctx_->dp.alev, 32767);
        Find<QSlider>("alevSlider")->setValue(1234);
        QCOMPARE(ctx_->dp.alev, 1234);
        QCOMPARE(Find<QSpinBox>("IF.alev")->value(), 1234);
        // Noise tracking moves the level: the status timer shows it.
        Click("Preview");
        ctx_->dp.dlev = 42;
        win_->live_page()->Tick();
        QCOMPARE(Find<QSpinBox>("IF.dlev")->value(), 42);
        QCOMPARE(Find<QSlider>("dlevSlider")->value(), 42);
    }

    void buttonsFollowTheState_data() {
        QTest::addColumn<QStringList>("presses");
        QTest::addColumn<QString>("enabled");  // Stop Preview Detect Rec as 0/1
        QTest::addColumn<QString>("caption");
        QTest::addColumn<std::vector<uint32_t>>("commands");
        QTest::newRow("start") << QStringList{} << "0110" << "Rec" << std::vector<uint32_t>{};
        QTest::newRow("preview") << QStringList{"Preview"} << "1011" << "Rec" << std::vector<uint32_t>{LIVE_START};
        QTest::newRow("detect") << QStringList{"Detect"} << "1101" << "Rec"
                                << std::vector<uint32_t>{LIVE_START, LIVE_DETECT_ON};
        QTest::newRow("preview, detect") << QStringList{"Preview", "Detect"} << "1101" << "Rec"
                                         << std::vector<uint32_t>{LIVE_START, LIVE_DETECT_ON};
        QTest::newRow("preview, stop") << QStringList{"Preview", "Stop"} << "0110" << "Rec"
                                       << std::vector<uint32_t>{LIVE_START, LIVE_STOP};
        QTest::newRow("detect, rec") << QStringList{"Detect", "Rec"} << "1101" << "RecOff"
                                     << std::vector<uint32_t>{LIVE_START, LIVE_DETECT_ON, LIVE_REC_ON};
        QTest::newRow("detect, rec, stop")
            << QStringList{"Detect", "Rec", "Stop"} << "0110" << "Rec"
            << std::vector<uint32_t>{LIVE_START, LIVE_DETECT_ON, LIVE_REC_ON, LIVE_REC_OFF, LIVE_DETECT_OFF, LIVE_STOP};
        QTest::newRow("preview, rec, rec") << QStringList{"Preview", "Rec", "Rec"} << "1011" << "Rec"
                                           << std::vector<uint32_t>{LIVE_START, LIVE_REC_ON, LIVE_REC_OFF};
    }
    void buttonsFollowTheState() {
        QFETCH(QStringList, presses);
        QFETCH(QString, enabled);
        QFETCH(QString, caption);
        QFETCH(std::vector<uint32_t>, commands);
        Make();
        posted_.clear();
        for (const QString& p : presses) Click(p.toLatin1().constData());
        QString got;
        for (const char* b : {"Stop", "Preview", "Detect", "Rec"}) got += Find<QPushButton>(b)->isEnabled() ? '1' : '0';
        QCOMPARE(got, enabled);
        QCOMPARE(Find<QPushButton>("Rec")->text(), caption);
        QCOMPARE(posted_, commands);
        const bool running = !presses.isEmpty() && presses.last() != "Stop";
        QCOMPARE(win_->live_page()->status_timer()->isActive(), running);
        QCOMPARE(win_->live_page()->video()->live(), running);
    }

    void startRefusedBySize() {
        Make([](AppContext& c) { c.dp.cx = 800; });
        posted_.clear();
        QString text, title;
        AnswerModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            QVERIFY(box);
            text = box->text();
            title = box->windowTitle();
        });
        Click("Detect");
        QCOMPARE(text, QStringLiteral("Xi must be >= Xo, Yi must be >= Yo\n Please set proper value"));
        QCOMPARE(title, QStringLiteral("Vigilux"));
        QCOMPARE(station_->page().LiveState(), int(LiveActions::kStop));
        QVERIFY(posted_.empty());
        QVERIFY(Find<QPushButton>("Detect")->isEnabled());
        QVERIFY(!Find<QPushButton>("Stop")->isEnabled());
        QVERIFY(!win_->live_page()->status_timer()->isActive());
    }

    void statusRefresh() {
        Make();
        QCOMPARE(win_->status_box()->text(), QStringLiteral(" status : idle "));
        ctx_->dp.fps = 29.97;
        ctx_->status.Set("-FTP:put error");
        Click("Detect");
        // Starting clears the status message.
        QTRY_COMPARE(win_->status_box()->message(), QString());
        QCOMPARE(win_->live_page()->status_timer()->interval(), 100);
        ctx_->dp.detect_on = 1;  // the live thread's part of the detect command
        ctx_->dp.drop_count = 3;
        ctx_->dp.rec_remain = 5;
        win_->live_page()->Tick();
        QCOMPARE(win_->status_box()->text(), QStringLiteral(" D-Recording -3"));
        QCOMPARE(win_->status_box()->colour(), QColor(255, 80, 80));
        ctx_->dp.rec_remain = 0;
        win_->live_page()->Tick();
        QCOMPARE(win_->status_box()->text(), QStringLiteral(" Detecting -3"));
        QCOMPARE(win_->status_box()->colour(), QColor(80, 100, 255));
        // A message posted from another thread follows the text.
        std::thread([this] { ctx_->status.Set("-Mail:error"); }).join();
        QTRY_COMPARE(win_->status_box()->shown(), QStringLiteral(" Detecting -3-Mail:error"));
    }

    void meters_data() {
        QTest::addColumn<QString>("audio");
        QTest::addColumn<int>("audioMeter");
        QTest::newRow("no audio device") << "NULL" << 0;
        QTest::newRow("microphone") << "Vigilux Test Microphone" << 1234;
    }
    void meters() {
        QFETCH(QString, audio);
        QFETCH(int, audioMeter);
        Make([&](AppContext& c) { CopyText(c.ap.dv_audio, sizeof c.ap.dv_audio, audio.toLatin1().constData()); });
        Click("Preview");
        ctx_->dp.audio_peak = 1234;
        ctx_->dp.hit_count = 25000;  // beyond the slider's scale
        ctx_->dp.max_level = 99;
        win_->live_page()->Tick();
        QCOMPARE(Find<QProgressBar>("audioMeter")->value(), audioMeter);
        QCOMPARE(Find<QProgressBar>("sizeMeter")->value(), 511);
        QCOMPARE(Find<QProgressBar>("levelMeter")->value(), 99);
        ctx_->dp.hit_count = 301;
        win_->live_page()->Tick();
        QCOMPARE(Find<QProgressBar>("sizeMeter")->value(), 300);
    }

    void oneToN_data() {
        QTest::addColumn<int>("cx");
        QTest::addColumn<int>("cy");
        QTest::addColumn<QSize>("shown");
        QTest::newRow("320x240 doubled") << 320 << 240 << QSize(640, 480);
        QTest::newRow("640x480 at 1:1") << 640 << 480 << QSize(640, 480);
    }
    void oneToN() {
        QFETCH(int, cx);
        QFETCH(int, cy);
        QFETCH(QSize, shown);
        Make([&](AppContext& c) {
            c.dp.cx = c.dp.cxin = cx;
            c.dp.cy = c.dp.cyin = cy;
        });
        win_->resize(800, 500);
        Click("1:N");
        QTRY_COMPARE(win_->live_page()->video()->size(), shown);
        const QPoint d = win_->live_page()->video()->mapTo(win_.get(), QPoint(0, 0));
        QCOMPARE(win_->width(), shown.width() + d.x() + 12);
        QCOMPARE(win_->height(), shown.height() + d.y() + 8);
    }

    void errorBoxFromWorker() {
        Make();
        std::atomic<bool> returned{false};
        QString text, title;
        bool worker_waited = false;
        AnswerModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            QVERIFY(box);
            text = box->text();
            title = box->windowTitle();
            worker_waited = !returned;
        });
        std::thread worker([&] {
            ErrorBox("%s", std::string(1500, 'x').c_str());
            returned = true;
        });
        QTRY_VERIFY(returned);
        worker.join();
        QVERIFY(worker_waited);
        QCOMPARE(title, QStringLiteral("Vigilux"));
        QCOMPARE(text, QString(1023, 'x'));
    }

    void fatalBoxHasNoOwner() {
        Make();
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QWidget* owner = win_.get();
        AnswerModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            QVERIFY(box);
            title = box->windowTitle();
            icon = box->icon();
            owner = box->parentWidget();
        });
        reporter_->Fatal("UE0103: bp exceeds limit (9200)");  // what FatalBox shows before it ends the process
        QCOMPARE(title, QStringLiteral("Vigilux Fatal Error"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(owner, nullptr);
    }

    // Every key of the table has its control; values set through them are
    // saved at close and read back by the settings reader.
    void settingsRoundTrip() {
        Make();
        std::set<std::string> seen;
        int n = 0;
        auto edit = [&](QWidget* root) {
            for (QWidget* w : root->findChildren<QWidget*>()) {
                const std::string name = w->objectName().toStdString();
                if (name == "changeDate") {  // one text for both date keys
                    seen.insert({"AP.si_yyyymmdd", "AP.si_hhmmss"});
                    auto* le = qobject_cast<QLineEdit*>(w);
                    le->setText(QStringLiteral("20301122_101112"));
                    QMetaObject::invokeMethod(le, "editingFinished");
                    continue;
                }
                const KeyDef* d = name.empty() ? nullptr : FindKey(name.c_str());
                if (!d) continue;
                ++n;
                seen.insert(name);
                if (auto* s = qobject_cast<QSpinBox*>(w)) {
                    s->setValue(s->minimum() + (s->maximum() - s->minimum() > 2 ? 2 : 1));
                } else if (auto* ds = qobject_cast<QDoubleSpinBox*>(w)) {
                    ds->setValue(ds->minimum() + 12.5);
                } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
                    c->setChecked(!c->isChecked());
                } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
                    cb->setCurrentIndex(cb->count() - 1);
                } else if (auto* le = qobject_cast<QLineEdit*>(w)) {
                    // The clip folder must exist to be kept.
                    le->setText(name == "AP.db_dir" ? QString::fromStdString(*dir_ / "") : QStringLiteral("v %1").arg(n));
                } else if (auto* te = qobject_cast<QPlainTextEdit*>(w)) {
                    te->setPlainText(QStringLiteral("body\nline %1").arg(n));
                }
            }
        };
        edit(win_.get());
        for (const char* dialog : {"ftpDialog", "mailDialog", "sunDialog"}) {
            AnswerModal([&](QWidget* w) { edit(w); });
            Click(dialog);
        }
        for (const KeyDef& d : KeyTable()) {
            if (std::string_view(d.key) == "IF.dsize" || std::string_view(d.key) == "IF.dlev" ||
                std::string_view(d.key) == "IF.alev" || WindowOwned(d)) {
                continue;
            }
            QVERIFY2(seen.count(d.key), d.key);
        }
        QVERIFY(seen.count("IF.dsize") && seen.count("IF.dlev") && seen.count("IF.alev"));
        // Profile texts never hold blanks.
        QCOMPARE(QString::fromLatin1(ctx_->ap.oname).contains(' '), false);

        win_->move(33, 44);
        win_->close();
        QCOMPARE(win_->closes(), 1);
        QVERIFY(!station_->minute_timer()->isActive());
        Application app(*ctx_);
        app.Shutdown();  // the single save (no workers here)
        std::vector<std::pair<std::string, std::string>> expected;
        for (const KeyDef& d : KeyTable()) expected.emplace_back(d.key, KeyValueText(*ctx_, d));

        auto back = std::make_unique<AppContext>();
        SetDefaults(*back);
        CopyText(back->program_dir, sizeof back->program_dir, ctx_->program_dir);
        CopyText(back->settings_file, sizeof back->settings_file, ctx_->settings_file);
        QVERIFY(ReadSettings(*back));
        size_t i = 0;
        for (const KeyDef& d : KeyTable()) {
            QCOMPARE(QString::fromStdString(d.key + ("=" + KeyValueText(*back, d))),
                     QString::fromStdString(expected[i].first + "=" + expected[i].second));
            ++i;
        }
        QCOMPARE(back->ap.dlgrect_left, win_->geometry().left());
        QCOMPARE(back->ap.dlgrect_top, win_->geometry().top());
        QCOMPARE(back->ap.showcmd, 1);
    }

    // Each box holds its key's range: setting past either end stops there.
    void boxesClampAtRangeEnds() {
        Make();
        int checked = 0;
        auto check = [&](QWidget* root) {
            for (QSpinBox* s : root->findChildren<QSpinBox*>()) {
                const std::string name = s->objectName().toStdString();
                const KeyDef* d = name.empty() ? nullptr : FindKey(name.c_str());
                if (!d || !d->ranged) continue;
                // Bounds that follow another key (Y-Pos, the next FTP number).
                const int hi = name == "IF.si_y0" ? ctx_->dp.cy : name == "AP.ftp_cn" ? ctx_->ap.ftp_rc : d->max;
                s->setValue(INT_MAX);
                QCOMPARE(KeyInt(*ctx_, *d), hi);
                s->setValue(INT_MIN);
                QCOMPARE(KeyInt(*ctx_, *d), d->min);
                ++checked;
            }
            for (QDoubleSpinBox* s : root->findChildren<QDoubleSpinBox*>()) {
                const KeyDef* d = FindKey(s->objectName().toLatin1().constData());
                if (!d || !d->ranged) continue;
                s->setValue(1e9);
                QCOMPARE(KeyDbl(*ctx_, *d), double(d->max));
                s->setValue(-1e9);
                QCOMPARE(KeyDbl(*ctx_, *d), double(d->min));
                ++checked;
            }
        };
        check(win_.get());
        for (const char* dialog : {"ftpDialog", "sunDialog"}) {
            AnswerModal([&](QWidget* w) { check(w); });
            Click(dialog);
        }
        QVERIFY2(checked >= 50, qPrintable(QString::number(checked)));
        // A typed value beyond the end is corrected to it.
        auto* head = Find<QSpinBox>("IF.fs_head");
        head->selectAll();
        QTest::keyClicks(head, "5");
        QTest::keyClick(head, Qt::Key_Return);
        QCOMPARE(ctx_->dp.fs_head, 10);
    }

    void profileTexts_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("blanks") << "AP.oname" << "Jane Q  Public" << "Jane_Q__Public";
        QTest::newRow("camera id") << "IF.cid" << "ABC" << "AB";
        QTest::newRow("location id") << "IF.lid" << "Tokyo Station1" << "Tokyo_Statio";
        QTest::newRow("name") << "AP.hname" << QString(40, 'h') << QString(31, 'h');
        QTest::newRow("comment") << "AP.comment" << QString(90, 'c') << QString(80, 'c');
    }
    void profileTexts() {
        QFETCH(QString, key);
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        Make();
        auto* edit = Find<QLineEdit>(key.toLatin1().constData());
        edit->setFocus();
        QTest::keyClicks(edit, typed);
        const KeyDef* d = FindKey(key.toLatin1().constData());
        QCOMPARE(QString::fromLatin1(KeyStr(*ctx_, *d)), stored);
        QCOMPARE(edit->text(), stored);
    }

    void exclusiveSwitchesAndChangeDate() {
        Make();
        Find<QCheckBox>("IF.im_snap")->setChecked(true);
        Find<QCheckBox>("IF.im_peak")->setChecked(true);
        QCOMPARE(ctx_->dp.im_snap, 0);
        QVERIFY(!Find<QCheckBox>("IF.im_snap")->isChecked());
        Find<QCheckBox>("IF.im_snap")->setChecked(true);
        QCOMPARE(ctx_->dp.im_peak, 0);
        Find<QCheckBox>("IF.si_maskb")->setChecked(true);
        Find<QCheckBox>("IF.si_maskw")->setChecked(true);
        QCOMPARE(ctx_->dp.si_maskb, 0);
        auto* date = Find<QLineEdit>("changeDate");
        date->setFocus();
        date->selectAll();
        QTest::keyClicks(date, "20240102030405");
        QTest::keyClick(date, Qt::Key_Return);
        QCOMPARE(ctx_->ap.si_yyyymmdd, 20240102);
        QCOMPARE(ctx_->ap.si_hhmmss, 30405);
        // The interval box works only while the timer trigger is on.
        QVERIFY(!Find<QSpinBox>("AP.ttrig")->isEnabled());
        Find<QCheckBox>("AP.ttrig_on")->setChecked(true);
        QVERIFY(Find<QSpinBox>("AP.ttrig")->isEnabled());
    }

    void ftpNumberWithinRotation() {
        Make([](AppContext& c) { c.ap.ftp_cn = 8; });
        int cn_max = 0;
        AnswerModal([&](QWidget* w) {
            auto* pw = w->findChild<QLineEdit*>("AP.ftp_pw");
            QVERIFY(pw);
            QCOMPARE(pw->echoMode(), QLineEdit::Password);
            w->findChild<QSpinBox*>("AP.ftp_rc")->setValue(5);
            cn_max = w->findChild<QSpinBox*>("AP.ftp_cn")->maximum();
        });
        Click("ftpDialog");
        QCOMPARE(cn_max, 5);
        QCOMPARE(ctx_->ap.ftp_cn, 5);
    }

    void sunDialogShowsComputedTimes() {
        Make([](AppContext& c) {
            c.ap.lng = 139.7;
            c.ap.lat = 35.7;
            c.ap.sunset = 1;
        });
        QString report;
        AnswerModal([&](QWidget* w) { report = w->findChild<QPlainTextEdit*>("sunReport")->toPlainText(); });
        Click("sunDialog");
        char expect[64];
        std::snprintf(expect, sizeof expect, "Schedule1 (Day)         %02d:%02d", ctx_->ap.sd[0].h1, ctx_->ap.sd[0].m1);
        QVERIFY2(report.contains(QLatin1String(expect)), qPrintable(report));
        QVERIFY(report.contains(QLatin1String("Sunrise")));
    }

    // "Read Settings" loads a chosen profile and the pages show it; the file
    // saved at close stays the start-up one.
    void queryAnsweredByTheWindow() {
        test::PrivateBus bus;
        DbusNotifier notifier(bus.address());
        QVERIFY(notifier.connected());
        notifier_ = &notifier;
        Make();
        notifier_ = nullptr;
        ctx_->dp.max_level = 87;
        ctx_->dp.clip_count = 5;
        uint64_t w = 0;
        int64_t l = 0;
        QVERIFY(QueryStation(bus.address(), &w, &l));
        QCOMPARE(w, uint64_t(87));
        QCOMPARE(l, int64_t(5));
        QCOMPARE(reserved_calls_, 0);  // idle: no element to ask
        Click("Preview");
        ctx_->dp.max_level = 12;
        QVERIFY(QueryStation(bus.address(), &w, &l));
        QCOMPARE(w, uint64_t(12));
        QCOMPARE(reserved_calls_, 1);
        win_.reset();  // before the notifier goes
    }

    void readSettingsShowsNewValues() {
        Make();
        auto other = std::make_unique<AppContext>();
        SetDefaults(*other);
        other->dp.dsize = 777;
        CopyText(other->ap.oname, sizeof other->ap.oname, "Other_Observer");
        const std::string profile = *dir_ / "night.vxi";
        CopyText(other->settings_file, sizeof other->settings_file, profile.c_str());
        QVERIFY(WriteSettings(*other));
        AnswerModal([&](QWidget* w) {
            auto* fd = qobject_cast<QFileDialog*>(w);
            QVERIFY(fd);
            QCOMPARE(fd->windowTitle(), QStringLiteral("Load vxi"));
            QVERIFY(fd->nameFilters().contains(QStringLiteral("Vigilux profile(*.vxi)")));
            // The name box directly: selectFile fills it only once the folder has been read.
            fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QString::fromStdString(profile));
            QMetaObject::invokeMethod(fd, "accept");
        });
        Click("readSettings");
        QCOMPARE(ctx_->dp.dsize, 777);
        QCOMPARE(Find<QSpinBox>("IF.dsize")->value(), 777);
        QCOMPARE(Find<QLineEdit>("AP.oname")->text(), QStringLiteral("Other_Observer"));
        QCOMPARE(QString::fromLatin1(ctx_->settings_file), QString::fromStdString(*dir_ / "Settings.vxi"));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
