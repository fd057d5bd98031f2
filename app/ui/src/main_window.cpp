#include "vlx/ui/main_window.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QIcon>
#include <QPointer>
#include <QThread>

#include <chrono>
#include <climits>
#include <ctime>
#include <future>

#include "vlx/app/dbus_notify.h"
#include "vlx/ui/medit.h"
#include "vlx/ui/page_db.h"
#include "vlx/ui/page_live.h"
#include "vlx/ui/page_replay.h"
#include "vlx/ui/settings_pages.h"
#include "vlx/ui/status_box.h"
#include "vlx/ui/video_widget.h"

namespace vlx {

MainQueueBridge::MainQueueBridge(QObject* target, std::function<void(const ThreadMessage&)> deliver) {
    std::promise<ThreadId> started;
    std::future<ThreadId> id = started.get_future();
    QPointer<QObject> guard(target);
    thread_ = std::thread([this, guard, deliver = std::move(deliver), &started] {
        ThreadQueue queue;
        started.set_value(queue.id());
        while (!stop_) {
            ThreadMessage m;
            if (!queue.Get(&m, 100)) continue;
            QObject* t = guard.data();
            if (!t) continue;
            QMetaObject::invokeMethod(t, [deliver, m] { deliver(m); }, Qt::QueuedConnection);
        }
    });
    id_ = id.get();
}

MainQueueBridge::~MainQueueBridge() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

CVLX2Dlg::CVLX2Dlg(AppContext& ctx, WindowDeps deps) : QWidget(nullptr), ctx_(ctx), deps_(std::move(deps)) {
    setObjectName(QStringLiteral("CVLX2Dlg"));
    setWindowTitle(QStringLiteral("Vigilux"));
    setWindowIcon(QIcon(QStringLiteral(":/vigilux/vigilux.png")));

    sheet_l_ = new QTabWidget(this);
    sheet_l_->setObjectName(QStringLiteral("CSheetL"));
    input_ = new CPageInput(ctx, sheet_l_);
    action_ = new CPageAction(ctx, sheet_l_);
    profile_ = new CPageProfile(ctx, sheet_l_);
    db_ = new CPageDb(ctx, sheet_l_);
    sheet_l_->addTab(input_, QStringLiteral("Input"));
    sheet_l_->addTab(action_, QStringLiteral("Operation"));
    sheet_l_->addTab(profile_, QStringLiteral("Profile"));
    sheet_l_->addTab(db_, QStringLiteral("DB"));

    sheet_r_ = new QTabWidget(this);
    sheet_r_->setObjectName(QStringLiteral("CSheetR"));
    live_ = new CPageLive(ctx, *deps_.station, deps_.receiver, sheet_r_);
    replay_ = new CPageReplay(ctx, deps_.replay_audio, sheet_r_);
    sheet_r_->addTab(live_, QStringLiteral("Live"));
    sheet_r_->addTab(replay_, QStringLiteral("Replay"));
    status_ = new StatusBox(sheet_r_);
    sheet_r_->setCornerWidget(status_, Qt::TopRightCorner);
    live_->show_status = [this](const LiveView& v) {
        status_->SetStatus(QString::fromLocal8Bit(v.status_text.c_str()), QColor(v.row.r, v.row.g, v.row.b));
    };

    // The display images: the live still (black) until a pipeline runs.
    QImage still(std::max(1, ctx.dp.cx), std::max(1, ctx.dp.cy), QImage::Format_RGB888);
    still.fill(Qt::black);
    live_->video()->SetStill(still);

    for (SettingsPage* p : std::initializer_list<SettingsPage*>{input_, action_, profile_}) {
        connect(p, &SettingsPage::settingsChanged, this, &CVLX2Dlg::RefreshPages);
    }
    connect(db_, &CPageDb::settingsChanged, this, &CVLX2Dlg::RefreshPages);
    connect(db_, &CPageDb::showClip, this, &CVLX2Dlg::OnShowClip);
    connect(input_, &CPageInput::editArea, this, [this] { EditArea(); });
    connect(replay_, &CPageReplay::previousClip, this, [this] { db_->db().Previous(); });
    connect(replay_, &CPageReplay::nextClip, this, [this] { db_->db().Next(); });
    connect(replay_, &CPageReplay::oneToOne, this, &CVLX2Dlg::FitWindowToVideo);
    connect(sheet_l_, &QTabWidget::currentChanged, this, &CVLX2Dlg::OnLeftPage);
    db_->list()->installEventFilter(this);
    replay_->video()->installEventFilter(this);
    connect(action_, &CPageAction::settingsRead, this, &CVLX2Dlg::RefreshPages);
    connect(live_, &CPageLive::oneToOne, this, &CVLX2Dlg::FitWindowToVideo);
    connect(sheet_r_, &QTabWidget::currentChanged, this, &CVLX2Dlg::OnRightPage);

    // Settings read anywhere (a profile, a schedule start) are shown again.
    QPointer<CVLX2Dlg> self(this);
    ctx_.after_settings_read = [self](AppContext&) {
        if (!self) return;
        if (QThread::currentThread() == self->thread()) {
            self->RefreshPages();
        } else {
            QMetaObject::invokeMethod(self.data(), [self] { if (self) self->RefreshPages(); }, Qt::QueuedConnection);
        }
    };
    ctx_.status.OnChange([self](const std::string& message) {
        const QString m = QString::fromLocal8Bit(message.c_str());
        QMetaObject::invokeMethod(self.data(), [self, m] { if (self) self->status_->SetMessage(m); }, Qt::QueuedConnection);
    });
    status_->SetMessage(QString::fromLocal8Bit(ctx_.status.Get().c_str()));
    if (deps_.notifier) {
        deps_.notifier->AnswerQueries([self]() -> std::pair<int64_t, int64_t> {
            auto answer = std::make_shared<std::promise<std::pair<int64_t, int64_t>>>();
            std::future<std::pair<int64_t, int64_t>> result = answer->get_future();
            if (self) {
                QMetaObject::invokeMethod(self.data(), [self, answer] {
                    answer->set_value(self ? self->AnswerQuery() : std::pair<int64_t, int64_t>{0, 0});
                }, Qt::QueuedConnection);
            }
            if (result.wait_for(std::chrono::seconds(2)) == std::future_status::ready) return result.get();
            return {0, 0};
        });
    }

    // Geometry: the stored rectangle, the minimum size, then the sheets.
    setMinimumSize(kMinWindowWidth, kMinWindowHeight);
    const QRect stored(ctx.ap.dlgrect_left, ctx.ap.dlgrect_top, ctx.ap.dlgrect_right - ctx.ap.dlgrect_left,
                       ctx.ap.dlgrect_bottom - ctx.ap.dlgrect_top);
    setGeometry(stored.x(), stored.y(), std::max(kMinWindowWidth, stored.width()), std::max(kMinWindowHeight, stored.height()));

    // The rest of the initialisation: sun times, the live side's init, the
    // minute timer, the auto-start.
    live_->Activated();
    deps_.station->on_change = [self] {
        if (self) self->live_->SyncControls();
    };
    deps_.station->on_map_picture = [self](const std::string& path) {
        QImage map;
        if (self && map.load(QString::fromLocal8Bit(path.c_str()))) self->live_->video()->SetStill(map);
    };
    deps_.station->Start();
    live_->SyncControls();

    // A new day (00:00, or 12:00 with "pm-am /day") lists the open clip
    // database's days again.
    db_day_.setObjectName(QStringLiteral("dbDayTimer"));
    connect(&db_day_, &QTimer::timeout, this, &CVLX2Dlg::CheckNewDay);
    db_day_.start(1000);
}

void CVLX2Dlg::CheckNewDay() {
    const int64_t now = ctx_.clock->Now().sec;
    const int64_t minute = now >= 0 ? now / 60 : (now - 59) / 60;
    if (minute == db_minute_) return;
    const bool first = db_minute_ == INT64_MIN;
    db_minute_ = minute;
    const time_t t = static_cast<time_t>(now);
    std::tm local{};
    localtime_r(&t, &local);
    const bool night = ctx_.ap.db_night != 0;
    if (first || local.tm_min != 0 || local.tm_hour != (night ? 12 : 0)) return;
    db_->db().OnNewDay(sheet_l_->currentWidget() == db_);
}

CVLX2Dlg::~CVLX2Dlg() {
    deps_.station->on_change = nullptr;
    deps_.station->on_map_picture = nullptr;
    ctx_.after_settings_read = nullptr;
    ctx_.status.OnChange(nullptr);
}

void CVLX2Dlg::ShowAsStored() {
    switch (ctx_.ap.showcmd) {
        case 3: showMaximized(); break;
        case 2: case 6: case 7: showMinimized(); break;
        default: show(); break;
    }
}

void CVLX2Dlg::resizeEvent(QResizeEvent*) {
    const int h = height() - 2;
    sheet_l_->setGeometry(2, 2, kLeftSheetWidth, h);
    sheet_r_->setGeometry(kRightSheetLeft, 2, std::max(0, width() - kRightSheetLeft - 2), h);
    live_->FitVideo();
    replay_->FitVideo();
}

void CVLX2Dlg::closeEvent(QCloseEvent* event) {
    deps_.station->Close();
    db_day_.stop();
    live_->status_timer()->stop();
    const QRect r = (isMaximized() || isMinimized()) ? normalGeometry() : geometry();
    ctx_.ap.dlgrect_left = r.left();
    ctx_.ap.dlgrect_top = r.top();
    ctx_.ap.dlgrect_right = r.left() + r.width();
    ctx_.ap.dlgrect_bottom = r.top() + r.height();
    ctx_.ap.showcmd = isMaximized() ? 3 : (isMinimized() ? 2 : 1);
    ++closes_;
    event->accept();
    emit closed();
}

void CVLX2Dlg::OnRightPage(int index) {
    QWidget* shown = sheet_r_->widget(index);
    if (right_shown_ == replay_ && shown != replay_) replay_->Left();
    right_shown_ = shown;
    if (shown == live_) {
        live_->Activated();
        return;
    }
    ctx_.dp.preview_off = 1;
    if (shown == replay_) {
        ctx_.dp.live_shown = 0;
        replay_->Entered();
        // The clip list comes to the front beside the replay (its activation
        // hands the selected clip over).
        if (sheet_l_->currentWidget() != db_) sheet_l_->setCurrentWidget(db_);
    }
}

void CVLX2Dlg::OnLeftPage(int index) {
    const bool db = sheet_l_->widget(index) == db_;
    if (db) db_->Activated();
}

void CVLX2Dlg::OnShowClip(int entry, bool bring_forward) {
    if (bring_forward && sheet_r_->currentWidget() != replay_) sheet_r_->setCurrentWidget(replay_);
    if (sheet_r_->currentWidget() != replay_) return;
    ClipDatabase& db = db_->db();
    if (entry < 0 || entry >= db.EntryCount() || db.RowOfEntry(entry) < 0) {
        replay_->SelectClip(-1, nullptr);
        return;
    }
    const ClipDbEntry& e = db.Entry(entry);
    const ClipEntry clip{db.Directory(e.directory), db.RowName(db.RowOfEntry(entry)), e.media};
    replay_->SelectClip(entry, &clip);
}

void CVLX2Dlg::BringReplayForward() {
    if (sheet_r_->currentWidget() == replay_) return;
    sheet_r_->setCurrentWidget(replay_);
    db_->db().ShowSelected(false);
}

bool CVLX2Dlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || (watched != db_->list() && watched != replay_->video())) {
        return QWidget::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    switch (key->key()) {
        case Qt::Key_Up: db_->db().Previous(); return true;
        case Qt::Key_Down: db_->db().Next(); return true;
        case Qt::Key_Delete: db_->DeleteSelectedToTrash(); return true;
        case Qt::Key_Space: case Qt::Key_Right: case Qt::Key_Left: case Qt::Key_Home: case Qt::Key_H: case Qt::Key_S:
            BringReplayForward();
            return replay_->ReviewKey(key->key());
        default: return false;
    }
}

void CVLX2Dlg::AddClipPath(const std::string& path) {
    QPointer<CVLX2Dlg> self(this);
    auto add = [self, path] {
        if (self && self->sheet_l_->currentWidget() == self->db_) self->db_->AddClipPath(path);
    };
    if (QThread::currentThread() == thread()) {
        add();
    } else {
        QMetaObject::invokeMethod(this, add, Qt::QueuedConnection);
    }
}

bool CVLX2Dlg::EditArea() {
    // Painted over the live still image (black until a frame was kept).
    const bool still = ctx_.rgb_cx == ctx_.dp.cx && ctx_.rgb_cy == ctx_.dp.cy &&
                       ctx_.rgb.size() >= static_cast<size_t>(ctx_.rgb_cx) * ctx_.rgb_cy * 3;
    CMEdit dlg(ctx_, area_mask_, still ? ctx_.rgb.data() : nullptr, ctx_.rgb_cx, ctx_.rgb_cy, this);
    const bool saved = dlg.exec() == QDialog::Accepted;
    if (saved) RefreshPages();
    return saved;
}

void CVLX2Dlg::RefreshPages() {
    for (SettingsPage* p : std::initializer_list<SettingsPage*>{input_, action_, profile_}) p->Refresh();
    db_->Refresh();
    live_->ShowSettings();
}

void CVLX2Dlg::FitWindowToVideo() {
    // Only the page shown counts.
    QWidget* video = sheet_r_->currentWidget() == live_ ? static_cast<QWidget*>(live_->video())
                     : sheet_r_->currentWidget() == replay_ ? static_cast<QWidget*>(replay_->video())
                                                            : nullptr;
    if (!video) return;
    const QPoint d = video->mapTo(this, QPoint(0, 0));
    const int cx = ctx_.dp.cx, cy = ctx_.dp.cy;
    int w, h;
    if (cy > 240) {
        w = cx + d.x() + 12;
        h = cy + d.y() + 8;
    } else {
        w = 2 * cx + d.x() + 12;
        h = 2 * cy + d.y() + 8;
    }
    resize(std::max(w, kMinWindowWidth), std::max(h, kMinWindowHeight));
    live_->FitVideo();
    replay_->FitVideo();
}

std::pair<int64_t, int64_t> CVLX2Dlg::AnswerQuery() { return deps_.station->Query(); }

}  // namespace vlx
