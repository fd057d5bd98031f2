// The review pages in the real window: the clip database page on a night the
// station recorded, the replay page playing, stepping and snapshotting those
// clips, the detect-area editor painting and saving, and the review keys.
// Deletions go to a trash in a temporary home.
#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QCheckBox>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gst/gst.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "test_support.h"
#include "vlx/app/startup.h"
#include "vlx/clips/records.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"
#include "vlx/replay/still.h"
#include "vlx/ui/main_window.h"
#include "vlx/ui/medit.h"
#include "vlx/ui/page_db.h"
#include "vlx/ui/page_replay.h"
#include "vlx/ui/qt_reporter.h"
#include "vlx/ui/station_control.h"

using namespace vlx;
namespace fs = std::filesystem;

namespace {

// Acts on the next modal widget of type T (nested boxes wait for theirs).
template <class T>
void AnswerModal(std::function<void(T*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        T* w = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!w) return;
        poll->stop();
        poll->deleteLater();
        act(w);
    });
    poll->start(10);
}

void AnswerBox(QMessageBox::StandardButton button, QString* text = nullptr) {
    AnswerModal<QMessageBox>([button, text](QMessageBox* box) {
        if (text) *text = box->text();
        box->button(button)->click();
    });
}

void AnswerSave(const QString& path, QString* title = nullptr, QStringList* filters = nullptr) {
    AnswerModal<QFileDialog>([=](QFileDialog* fd) {
        if (title) *title = fd->windowTitle();
        if (filters) *filters = fd->nameFilters();
        fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
        QMetaObject::invokeMethod(fd, "accept");
    });
}

std::string Run(const std::string& cmd) {
    std::string out;
    std::FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (p) pclose(p);
    return out;
}

// A bottom-up B G R picture as it is painted into a widget of `size`.
QImage Painted(const uint8_t* bgr, int w, int h, QSize size) {
    QImage pic = QImage(bgr, w, h, w * 3, QImage::Format_BGR888).mirrored();
    QImage out(size, QImage::Format_RGB32);
    QPainter p(&out);
    p.drawImage(QRect(QPoint(0, 0), size), pic);
    return out;
}

}  // namespace

class ReviewTest : public QObject {
    Q_OBJECT

    test::TempDir night_;  // the station's clips, made once
    std::unique_ptr<test::TempDir> dir_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<LocalStation> station_;
    std::unique_ptr<CVLX2Dlg> win_;
    QtReporter* reporter_ = nullptr;
    std::string db_;

    void Make(std::function<void(AppContext&)> setup = {}) {
        win_.reset();
        station_.reset();
        dir_ = std::make_unique<test::TempDir>();
        db_ = *dir_ / "db";
        fs::copy(night_ / "db", db_, fs::copy_options::recursive);
        ctx_ = std::make_unique<AppContext>();
        SetDefaults(*ctx_);
        CopyText(ctx_->program_dir, sizeof ctx_->program_dir, dir_->str().c_str());
        CopyText(ctx_->settings_file, sizeof ctx_->settings_file, (*dir_ / "Settings.vxi").c_str());
        CopyText(ctx_->ap.db_dir, sizeof ctx_->ap.db_dir, db_.c_str());
        ctx_->dp.cx = 320;
        ctx_->dp.cy = 240;
        ctx_->dp.fps = 30;
        ctx_->ap.db_ymddir = 1;
        ctx_->ap.db_latest = 1;
        ctx_->ap.db_days = 1;
        ctx_->ap.db_night = 0;
        if (setup) setup(*ctx_);
        LocalStation::Hooks hooks;
        hooks.post = [](uint32_t) {};
        hooks.sleep = [](int) {};
        station_ = std::make_unique<LocalStation>(*ctx_, hooks);
        WindowDeps deps;
        deps.station = station_.get();
        deps.replay_audio = [] {
            GstElement* s = gst_element_factory_make("fakesink", nullptr);
            g_object_set(s, "sync", TRUE, nullptr);
            return s;
        };
        win_ = std::make_unique<CVLX2Dlg>(*ctx_, deps);
        reporter_->SetOwner(win_.get());
        win_->resize(900, 700);
        win_->show();
        QVERIFY(QTest::qWaitForWindowExposed(win_.get()));
    }
    template <class T>
    T* Find(const char* name) {
        T* w = win_->findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no widget %s", name);
        return w;
    }
    // With VLX_SCREENSHOTS set, the picture is kept there for the README.
    static void Keep(QWidget* w, const char* name) {
        if (const char* dir = std::getenv("VLX_SCREENSHOTS")) w->grab().save(QString::fromLocal8Bit(dir) + "/" + name);
    }
    void Click(const char* name) { QTest::mouseClick(Find<QPushButton>(name), Qt::LeftButton); }
    QTreeWidget* OpenDb() {
        win_->left_sheet()->setCurrentWidget(win_->db_page());
        return win_->db_page()->list();
    }
    // The clips of the night on disk: base names in creation order.
    std::vector<std::string> NightClips() {
        std::vector<std::string> names;
        for (auto& e : fs::recursive_directory_iterator(db_)) {
            const std::string n = e.path().filename().string();
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".avi") == 0) names.push_back(n.substr(0, n.size() - 4));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Folder() { return fs::path(ctx_->ap.db_dir).string() + "/" + DayPath(); }
    std::string DayPath() {
        for (auto& e : fs::recursive_directory_iterator(db_)) {
            if (e.path().extension() == ".avi") return fs::relative(e.path().parent_path(), db_).string();
        }
        return {};
    }
    void WaitFor(CPageReplay* page, QSignalSpy& spy, uint32_t code) {
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const auto& args : spy) {
                    if (args.at(0).toUInt() == code) return true;
                }
                return false;
            }(),
            20000);
        spy.clear();
        QCoreApplication::processEvents();  // the frame delivered before it
        page->video()->repaint();
    }
    // The replay video shows exactly the frame the replay thread holds.
    void CheckShownFrame(CPageReplay* page) {
        const std::vector<uint8_t> f = page->thread().FrameCopy();
        const int w = ctx_->rp.width, h = ctx_->rp.height;
        QCOMPARE(f.size(), size_t(w) * h * 3);
        const QImage shown = page->video()->last_frame().convertToFormat(QImage::Format_BGR888);
        QCOMPARE(shown.size(), QSize(w, h));
        const QImage want = QImage(f.data(), w, h, w * 3, QImage::Format_BGR888).mirrored();
        QVERIFY(shown == want);
    }

private slots:
    void initTestCase() {
        gst_init(nullptr, nullptr);
        reporter_ = new QtReporter;
        // Three clips of tonight: two from one run of the station, one from
        // another.
        const std::string bin = test::BuildDir() + "/bin/";
        for (const char* preset : {"two-apart", "single-meteor"}) {
            const std::string sky = night_ / (std::string(preset) + ".avi");
            Run(bin + "vlx-skysim --preset " + preset + " --seconds 12 --width 320 --height 240 --out '" + sky + "'");
            Run("cd '" + night_.str() + "' && XDG_DOCUMENTS_DIR='" + (night_ / "Docs") + "' timeout 120 " + bin +
                "vlx2d --out '" + (night_ / "db") +
                "' --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 --set IF.cy=240 --set IF.im_map=1 --set AP.md_log=1 "
                "--input '" + sky + "' --detect --fast");
        }
    }
    void cleanup() {
        win_.reset();
        station_.reset();
    }
    void cleanupTestCase() { delete reporter_; }

    void dbPageListsTheNight() {
        Make();
        QTreeWidget* list = OpenDb();
        const std::vector<std::string> names = NightClips();
        QCOMPARE(names.size(), size_t(3));
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(Find<QLabel>("clipCount")->text(), QStringLiteral("3 clips"));
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("Name"));
        QCOMPARE(list->headerItem()->text(1), QStringLiteral("Media"));
        QCOMPARE(list->headerItem()->text(2), QStringLiteral("MB"));
        QCOMPARE(list->columnWidth(0), 170);
        QCOMPARE(list->columnWidth(1), 70);
        QCOMPARE(list->columnWidth(2), 48);
        std::vector<std::string> shown;
        for (int r = 0; r < 3; ++r) {
            QTreeWidgetItem* it = list->topLevelItem(r);
            const std::string name = it->text(0).toStdString();
            shown.push_back(name);
            // The letters and size of what lies on disk for this clip.
            std::string letters(10, ' ');
            uintmax_t bytes = 0;
            for (auto& e : fs::directory_iterator(Folder())) {
                const std::string f = e.path().filename().string();
                if (f.rfind(name, 0) != 0) continue;
                bytes += e.file_size();
                const std::string rest = f.substr(name.size());
                if (rest == ".avi") letters[0] = 'A';
                if (rest == "S.jpg") letters[2] = 'S';
                if (rest == "T.jpg") letters[4] = 'T';
                if (rest == "M.bmp") letters[7] = 'M';
                if (rest == ".xml") letters[8] = 'X';
            }
            QCOMPARE(it->text(1).toStdString(), letters);
            char mb[32];
            std::snprintf(mb, sizeof mb, "%.1f", bytes / 1024.0 / 1024.0);
            QCOMPARE(it->text(2), QString::fromLatin1(mb));
            QCOMPARE(int(it->textAlignment(2) & Qt::AlignRight), int(Qt::AlignRight));
        }
        std::sort(shown.begin(), shown.end());
        QCOMPARE(shown, names);
        // Another start date lists nothing until "Read DB".
        Find<QSpinBox>("AP.db_y")->setValue(2001);
        QCOMPARE(ctx_->ap.db_latest, 0);
        QVERIFY(!Find<QCheckBox>("AP.db_latest")->isChecked());
        QCOMPARE(list->topLevelItemCount(), 3);
        Click("Read DB");
        QCOMPARE(list->topLevelItemCount(), 0);
        QCOMPARE(Find<QLabel>("clipCount")->text(), QStringLiteral("0 clips"));
        Find<QCheckBox>("AP.db_latest")->click();
        QCOMPARE(list->topLevelItemCount(), 3);

        // A clip the live side stores now joins the open list at its end,
        // with the letters the capture settings promise; none is added while
        // another page is in front.
        const std::string fresh = Folder() + "/" + list->topLevelItem(2)->text(0).toStdString().substr(0, 16) + "_new.avi";
        test::WriteFileBytes(fresh, std::string(3 << 20, 'x').data(), 3 << 20);
        std::thread([&] { win_->AddClipPath(fresh); }).join();
        QTRY_COMPARE(list->topLevelItemCount(), 4);
        QCOMPARE(list->topLevelItem(3)->text(0), QString::fromStdString(fs::path(fresh).stem().string()));
        QCOMPARE(list->topLevelItem(3)->text(2), QStringLiteral("3.0"));
        QCOMPARE(list->topLevelItem(3)->text(1).at(0), QChar('A'));
        QCOMPARE(Find<QLabel>("clipCount")->text(), QStringLiteral("4 clips"));
        win_->left_sheet()->setCurrentIndex(0);
        win_->AddClipPath(fresh);
        QCoreApplication::processEvents();
        QCOMPARE(win_->db_page()->db().RowCount(), 4);
    }

    // Down and Up walk the list and wrap; each clip is handed to the replay
    // page, which comes forward with the clip's path.
    void arrowsWalkAndWrap() {
        Make();
        QTreeWidget* list = OpenDb();
        list->setFocus();
        const QString folder = QString::fromStdString(Folder());
        auto path = [&] { return Find<QLineEdit>("path")->text(); };
        auto name = [&](int r) { return folder + "/" + list->topLevelItem(r)->text(0); };
        // Opening the page selected the first row and handed it over.
        QCOMPARE(win_->db_page()->db().Selected(), 0);
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(win_->db_page()->db().Selected(), 1);
        QCOMPARE(win_->right_sheet()->currentWidget(), static_cast<QWidget*>(win_->replay_page()));
        QCOMPARE(path(), name(1));
        QCOMPARE(ctx_->rp.clip_type, 'a');
        QTest::keyClick(list, Qt::Key_Up);
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(win_->db_page()->db().Selected(), 2);
        QCOMPARE(list->currentItem(), list->topLevelItem(2));
        QCOMPARE(path(), name(2));
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(win_->db_page()->db().Selected(), 0);
        QCOMPARE(path(), name(0));
        Click("Next");
        QCOMPARE(path(), name(1));
        Click("Prev");
        QCOMPARE(path(), name(0));
        // A click on a row shows it, bringing the replay page forward.
        win_->right_sheet()->setCurrentIndex(0);
        const QRect r = list->visualItemRect(list->topLevelItem(2));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(win_->right_sheet()->currentWidget(), static_cast<QWidget*>(win_->replay_page()));
        QCOMPARE(path(), name(2));
    }

    // The Delete key sends the clip to the trash even with "Do Not Use Trash
    // Box" on, and shows the next clip; "DELETE ALL" answered Cancel keeps
    // everything.
    void deleteKeyGoesToTheTrash() {
        Make([](AppContext& c) { c.ap.nottrash = 1; });
        QTreeWidget* list = OpenDb();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);  // row 1
        const std::string gone = list->topLevelItem(1)->text(0).toStdString();
        const QString next = list->topLevelItem(2)->text(0);
        const size_t files_before = std::distance(fs::directory_iterator(Folder()), fs::directory_iterator());
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(ctx_->ap.nottrash, 1);
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(Find<QLabel>("clipCount")->text(), QStringLiteral("2 clips"));
        QCOMPARE(list->currentItem()->text(0), next);
        QCOMPARE(Find<QLineEdit>("path")->text(), QString::fromStdString(Folder()) + "/" + next);
        int in_trash = 0, left = 0;
        for (auto& e : fs::directory_iterator(Folder())) left += e.path().filename().string().rfind(gone, 0) == 0;
        const std::string trash = std::string(getenv("XDG_DATA_HOME")) + "/Trash/files";
        for (auto& e : fs::directory_iterator(trash)) in_trash += e.path().filename().string().rfind(gone, 0) == 0;
        QCOMPARE(left, 0);
        QVERIFY(in_trash >= 4);  // clip, still, thumbnail, map, record
        const size_t files_after = std::distance(fs::directory_iterator(Folder()), fs::directory_iterator());
        QCOMPARE(files_before - files_after, size_t(in_trash));

        QString asked;
        AnswerBox(QMessageBox::Cancel, &asked);
        Click("DELETE ALL");
        QCOMPARE(asked, QStringLiteral("DELETE ALL LISTED CLIPS OK?"));
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(size_t(std::distance(fs::directory_iterator(Folder()), fs::directory_iterator())), files_after);
    }

    // Play, pause, steps, the trigger point and the slider, through buttons
    // and keys: the video area shows exactly the frame the replay thread
    // reports; the snapshot lands under its name.
    void replayPlaysStepsAndSnapshots() {
        Make();
        QTreeWidget* list = OpenDb();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        CPageReplay* page = win_->replay_page();
        QSignalSpy done(page, &CPageReplay::commandDone);
        QPushButton* play = Find<QPushButton>("play");
        QCOMPARE(play->toolTip().contains("Space"), true);

        Click(">||");
        WaitFor(page, done, REPLAY_STEP_FORWARD);
        QCOMPARE(page->thread().state(), int(kReplayPositioned));
        CheckShownFrame(page);
        const int64_t one = page->thread().position();
        QTest::keyClick(page->video(), Qt::Key_Right);
        WaitFor(page, done, REPLAY_STEP_FORWARD);
        CheckShownFrame(page);
        const QImage second = page->video()->last_frame();
        QVERIFY(page->thread().position() > one);
        QTest::keyClick(page->video(), Qt::Key_Left);
        WaitFor(page, done, REPLAY_STEP_BACK);
        CheckShownFrame(page);
        QVERIFY(page->video()->last_frame() != second);

        // The slider seeks to its position.
        QSlider* slider = Find<QSlider>("position");
        QVERIFY(slider->maximum() > 1000);
        slider->setSliderPosition(1000);
        slider->triggerAction(QAbstractSlider::SliderMove);
        WaitFor(page, done, REPLAY_SEEK);
        CheckShownFrame(page);
        QCOMPARE(slider->value(), 1000);
        QVERIFY(std::llabs(page->thread().QueryPosition() - 10000000) < 10000000 / 30 + 1);

        // H: the trigger point, truncate(1000 / fps * head) ms.
        QTest::keyClick(page->video(), Qt::Key_H);
        WaitFor(page, done, REPLAY_SEEK);
        QCOMPARE(slider->value(), int(1000.0 / ctx_->dp.fps * ctx_->dp.fs_head));
        CheckShownFrame(page);

        // S writes the frame shown as z..._%03ds.jpg.
        QSignalSpy saved(page, &CPageReplay::snapshotSaved);
        QTest::keyClick(page->video(), Qt::Key_S);
        QCOMPARE(saved.size(), 1);
        const std::string media = page->thread().media_path();
        const int n = replay::SnapshotNumber(page->thread().QueryPosition(), ctx_->rp.fps, false, false);
        const std::string want = replay::SnapshotName(media, n);
        QCOMPARE(saved.at(0).at(0).toString().toStdString(), want);
        QVERIFY(fs::exists(want));
        QCOMPARE(fs::path(want).filename().string().substr(0, 1), std::string("z"));

        // Space plays, a click on the video pauses.
        QTest::keyClick(page->video(), Qt::Key_Space);
        QCOMPARE(play->text(), QStringLiteral("||"));
        WaitFor(page, done, REPLAY_PLAY_PAUSE);
        QCOMPARE(page->thread().state(), int(kReplayRunning));
        QVERIFY(page->timer()->isActive());
        QTest::mouseClick(page->video(), Qt::LeftButton);
        QCOMPARE(play->text(), QStringLiteral(">"));
        WaitFor(page, done, REPLAY_PLAY_PAUSE);
        QCOMPARE(page->thread().state(), int(kReplayPaused));

        // "Still" closes the pipeline and shows the clip's still.
        Click("Still");
        QTRY_COMPARE(page->thread().state(), int(kReplayNone));
    }

    // Each overlay box redraws the still view: the area shows the page
    // logic's picture, pixel for pixel.
    void stillViewOverlays_data() {
        QTest::addColumn<QString>("box");
        QTest::newRow("none") << QString();
        QTest::newRow("area") << "+Area mask";
        QTest::newRow("scl") << "+SCL mask";
        QTest::newRow("hit") << "+Hit mark";
    }
    void stillViewOverlays() {
        QFETCH(QString, box);
        Make([](AppContext& c) { c.ap.r_amask = c.ap.r_smask = c.ap.r_hmark = 0; });
        QTreeWidget* list = OpenDb();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        CPageReplay* page = win_->replay_page();
        const StillImage before = page->logic().display();
        if (!box.isEmpty()) {
            Find<QCheckBox>(box.toLatin1().constData())->click();
            QVERIFY(Find<QCheckBox>(box.toLatin1().constData())->isChecked());
        }
        const StillImage& d = page->logic().display();
        QCOMPARE(d.width, 320);
        if (box == "+Hit mark") QVERIFY(d.pixels != before.pixels);  // the clip has hits
        const QImage grabbed = page->video()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(grabbed, Painted(d.pixels.data(), d.width, d.height, grabbed.size()));
        if (box == "+Hit mark") {
            Keep(win_.get(), "replay-page.png");
            Keep(win_->left_sheet(), "db-page.png");
        }
    }

    // The editor at scale 2 (240 lines): pen with both buttons, a rectangle
    // and a line through mouse events; the saved file reads back as painted.
    void editorPaintsAndSaves() {
        Make();
        AreaMaskPicture mask;
        // Painted over a still of the night.
        StillImage still;
        for (auto& e : fs::recursive_directory_iterator(db_)) {
            if (e.path().string().size() > 5 && e.path().string().substr(e.path().string().size() - 5) == "S.jpg") {
                QVERIFY(ReadJpeg(e.path().string(), still));
                break;
            }
        }
        QCOMPARE(still.width, 320);
        CMEdit dlg(*ctx_, mask, still.pixels.data(), still.width, still.height, win_.get());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QWidget* pic = dlg.picture();
        QCOMPARE(pic->geometry(), QRect(90, 2, 640, 480));
        QCOMPARE(dlg.width(), 640 + 98);
        auto at = [](int col, int row) { return QPoint(col * 2 + 1, row * 2 + 1); };
        auto radio = [&](const char* n) { QTest::mouseClick(dlg.findChild<QRadioButton*>(n), Qt::LeftButton); };
        radio("Pen");
        radio("S");
        QTest::mouseClick(pic, Qt::LeftButton, {}, at(5, 5));
        QTest::mouseClick(pic, Qt::LeftButton, {}, at(6, 5));
        QTest::mouseClick(pic, Qt::RightButton, {}, at(6, 5));  // the other colour: detect again
        radio("Rect");
        QTest::mousePress(pic, Qt::LeftButton, {}, at(20, 20));
        QTest::mouseMove(pic, at(25, 22));
        QVERIFY(dlg.editor().drag().active);
        QTest::mouseRelease(pic, Qt::LeftButton, {}, at(30, 25));
        radio("Line");
        QTest::mousePress(pic, Qt::LeftButton, {}, at(40, 50));
        QTest::mouseMove(pic, at(50, 50));
        QTest::mouseRelease(pic, Qt::LeftButton, {}, at(60, 50));
        QTest::mouseClick(pic, Qt::LeftButton, {}, at(100, 100));  // a click paints no line
        QVERIFY(dlg.editor().modified());
        Keep(&dlg, "area-editor.png");

        QCOMPARE(dlg.editor().MaskedCount(), 1 + 10 * 6 + 21);
        for (auto [c, r, on] : {std::tuple{5, 5, true}, {6, 5, false}, {20, 20, true}, {29, 25, true}, {30, 25, false},
                                {40, 50, true}, {60, 50, true}, {61, 50, false}, {100, 100, false}}) {
            QCOMPARE(dlg.editor().IsMasked(c, r), on);
        }
        // The picture shows the display image.
        const std::vector<uint8_t>& disp = dlg.editor().Display();
        const QImage grabbed = pic->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(grabbed, Painted(disp.data(), 320, 240, grabbed.size()));

        QString title;
        QStringList filters;
        const QString file = QString::fromStdString(*dir_ / "DA-test.bmp");
        AnswerSave(file, &title, &filters);
        QTest::mouseClick(dlg.findChild<QPushButton*>("Save"), Qt::LeftButton);
        QCOMPARE(title, QStringLiteral("Save vxi"));
        QVERIFY(filters.contains(QStringLiteral("Detect Area BMP(*.bmp)")));
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(QString::fromLatin1(ctx_->ap.dareafname), QStringLiteral("DA-test.bmp"));
        AreaMaskPicture back;
        QVERIFY(ReadAreaMask(*ctx_, false, back));
        QCOMPARE(back.pixels, dlg.editor().Mask().pixels);
    }

    // From the Input page: Cancel with changes asks; Save proposes
    // DA<cx>-<cy>.bmp for the reserved name and the page shows the new name.
    void editorFromInputPage() {
        Make();
        QString asked;
        bool stayed = false;
        AnswerModal<CMEdit>([&](CMEdit* dlg) {
            QTest::mouseClick(dlg->findChild<QPushButton*>("All Mask"), Qt::LeftButton);
            AnswerBox(QMessageBox::Cancel, &asked);
            QTest::mouseClick(dlg->findChild<QPushButton*>("Cancel"), Qt::LeftButton);
            stayed = dlg->isVisible();
            AnswerModal<QFileDialog>([&](QFileDialog* fd) {
                asked += " | " + fd->selectedFiles().value(0);
                QMetaObject::invokeMethod(fd, "accept");
            });
            QTest::mouseClick(dlg->findChild<QPushButton*>("Save"), Qt::LeftButton);
        });
        Click("editArea");
        QVERIFY(stayed);
        QCOMPARE(asked, QStringLiteral("Not Saved OK? | ") + QString::fromStdString(*dir_ / "DA320-240.bmp"));
        QCOMPARE(Find<QLineEdit>("AP.dareafname")->text(), QStringLiteral("DA320-240.bmp"));
        AreaMaskPicture back;
        QVERIFY(ReadAreaMask(*ctx_, false, back));
        QCOMPARE(back.width, 320);

        // Cancel answered OK closes without writing.
        const std::vector<uint8_t> saved = test::ReadFileBytes(*dir_ / "DA320-240.bmp");
        AnswerModal<CMEdit>([&](CMEdit* dlg) {
            QTest::mouseClick(dlg->findChild<QPushButton*>("All Detect"), Qt::LeftButton);
            AnswerBox(QMessageBox::Ok);
            QTest::mouseClick(dlg->findChild<QPushButton*>("Cancel"), Qt::LeftButton);
        });
        QVERIFY(!win_->EditArea());
        QCOMPARE(test::ReadFileBytes(*dir_ / "DA320-240.bmp"), saved);
        QCOMPARE(QString::fromLatin1(ctx_->ap.dareafname), QStringLiteral("DA320-240.bmp"));
    }
};

int main(int argc, char** argv) {
    // A home of its own, so deleted clips land in a trash the test can see.
    static test::TempDir home;
    setenv("HOME", home.str().c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "share").c_str(), 1);
    QApplication app(argc, argv);
    ReviewTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "review_test.moc"
