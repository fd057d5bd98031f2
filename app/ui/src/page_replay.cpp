#include "vlx/ui/page_replay.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QThread>

#include <algorithm>
#include <cstring>

#include "vlx/ui/video_widget.h"

namespace vlx {
namespace {

QImage CopyFrame(GstSample* sample) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps)) return {};
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return {};
    const int w = GST_VIDEO_FRAME_WIDTH(&frame);
    const int h = GST_VIDEO_FRAME_HEIGHT(&frame);
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const auto* src = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    QImage image(w, h, QImage::Format_BGR888);
    for (int y = 0; y < h; ++y) std::memcpy(image.scanLine(y), src + static_cast<size_t>(y) * stride, static_cast<size_t>(w) * 3);
    gst_video_frame_unmap(&frame);
    return image;
}

GstFlowReturn OnSample(GstAppSink* sink, gpointer page, bool preroll) {
    GstSample* s = preroll ? gst_app_sink_pull_preroll(sink) : gst_app_sink_pull_sample(sink);
    if (!s) return GST_FLOW_OK;
    QImage f = CopyFrame(s);
    gst_sample_unref(s);
    if (!f.isNull()) static_cast<CPageReplay*>(page)->DeliverFrame(std::move(f));
    return GST_FLOW_OK;
}

// The video output of every replay build: an appsink at the clip's pace that
// hands each frame, and the frame shown after a pause, step or seek, to the
// page.
GstElement* MakeVideoSink(CPageReplay* page) {
    GstElement* sink = gst_element_factory_make("appsink", "replay video");
    if (!sink) return nullptr;
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGR");
    g_object_set(sink, "caps", caps, "sync", TRUE, "max-buffers", 2u, "drop", FALSE, nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks cb{};
    cb.new_sample = [](GstAppSink* s, gpointer p) { return OnSample(s, p, false); };
    cb.new_preroll = [](GstAppSink* s, gpointer p) { return OnSample(s, p, true); };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &cb, page, nullptr);
    return sink;
}

QImage StillImageOf(const StillImage& s) {
    if (s.width <= 0 || s.height <= 0 || s.pixels.size() != static_cast<size_t>(s.width) * s.height * 3) return {};
    // Bottom row first in memory.
    return QImage(s.pixels.data(), s.width, s.height, s.width * 3, QImage::Format_BGR888).mirrored();
}

}  // namespace

ReplayVideo::ReplayVideo(CPageReplay* page) : QWidget(page), page_(page) {
    setObjectName(QStringLiteral("replayVideo"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(QStringLiteral("Click / Space: play / pause, Right / Left: step, Home: play from start\n"
                              "H: trigger point, S: snapshot, Up / Down: previous / next clip, Delete: clip to the trash"));
}

void ReplayVideo::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (page_->logic_.Paint()) {
        const QImage still = StillImageOf(page_->logic_.display());
        if (still.isNull()) {
            p.fillRect(rect(), QColor(150, 150, 150));
        } else {
            p.drawImage(rect(), still);
        }
        return;
    }
    QImage f = page_->TakeFrame();
    if (!f.isNull()) shown_ = std::move(f);
    if (shown_.isNull()) {
        p.fillRect(rect(), Qt::black);
    } else {
        p.drawImage(rect(), shown_);
    }
}

void ReplayVideo::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (event->button() == Qt::LeftButton) page_->logic_.Click();
}

CPageReplay::CPageReplay(AppContext& ctx, std::function<GstElement*()> audio, QWidget* parent)
    : QWidget(parent),
      ctx_(ctx),
      thread_(ctx, ReplaySinks{[this] { return MakeVideoSink(this); }, std::move(audio)}, this),
      logic_(ctx, thread_, *this) {
    setObjectName(QStringLiteral("Replay"));
    controls_ = new QWidget(this);
    auto* g = new QVBoxLayout(controls_);
    g->setContentsMargins(6, 4, 6, 2);
    g->setSpacing(2);
    auto button = [this](const QString& text, const QString& tip = QString()) {
        auto* b = new QPushButton(text, controls_);
        b->setObjectName(text);
        b->setAutoDefault(false);
        if (!tip.isEmpty()) b->setToolTip(tip);
        return b;
    };
    auto check = [this](const QString& text, const QString& tip = QString()) {
        auto* c = new QCheckBox(text, controls_);
        c->setObjectName(text);
        if (!tip.isEmpty()) c->setToolTip(tip);
        return c;
    };
    QPushButton* prev = button(QStringLiteral("Prev"), QStringLiteral("Previous clip (Up)"));
    QPushButton* next = button(QStringLiteral("Next"), QStringLiteral("Next clip (Down)"));
    QPushButton* still = button(QStringLiteral("Still"));
    amask_ = check(QStringLiteral("+Area mask"));
    smask_ = check(QStringLiteral("+SCL mask"));
    hmark_ = check(QStringLiteral("+Hit mark"));
    auto* row1 = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{prev, next, still, amask_, smask_, hmark_}) row1->addWidget(w);
    row1->addStretch(1);
    g->addLayout(row1);

    QPushButton* from_start = button(QStringLiteral("| >"), QStringLiteral("Play from start (Home)"));
    QPushButton* back = button(QStringLiteral("||<"), QStringLiteral("Step back (Left)"));
    play_ = button(QStringLiteral(">"), QStringLiteral("Play / pause (Space, or a click on the video)"));
    play_->setObjectName(QStringLiteral("play"));
    QPushButton* fwd = button(QStringLiteral(">||"), QStringLiteral("Step forward (Right)"));
    QPushButton* head = button(QStringLiteral("|| H"), QStringLiteral("Trigger point (H)"));
    QPushButton* snap = button(QStringLiteral("SnapShot"), QStringLiteral("Save the frame shown (S)"));
    stepping_ = check(QStringLiteral("DeInterace Stepping"), QStringLiteral("Steps go field by field"));
    QPushButton* one = button(QStringLiteral("1:N"));
    auto* row2 = new QHBoxLayout;
    for (QPushButton* b : {from_start, back, play_, fwd, head}) {
        b->setFixedWidth(40);
        row2->addWidget(b);
    }
    row2->addWidget(snap);
    row2->addWidget(stepping_);
    row2->addStretch(1);
    row2->addWidget(one);
    // 1:N sits 32 pixels from the page's right edge.
    row2->addSpacing(32 - 6 - 2);
    g->addLayout(row2);

    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setObjectName(QStringLiteral("position"));
    slider_->setRange(0, 0);
    path_ = new QLineEdit(this);
    path_->setObjectName(QStringLiteral("path"));
    path_->setReadOnly(true);
    video_ = new ReplayVideo(this);

    timer23_.setObjectName(QStringLiteral("timer23"));
    connect(&timer23_, &QTimer::timeout, this, [this] { logic_.Timer(); });

    connect(prev, &QPushButton::clicked, this, &CPageReplay::previousClip);
    connect(next, &QPushButton::clicked, this, &CPageReplay::nextClip);
    connect(still, &QPushButton::clicked, this, [this] { logic_.ShowStill(); });
    connect(amask_, &QCheckBox::clicked, this, [this] { logic_.ToggleAreaMask(); ShowChecks(); });
    connect(smask_, &QCheckBox::clicked, this, [this] { logic_.ToggleSclMask(); ShowChecks(); });
    connect(hmark_, &QCheckBox::clicked, this, [this] { logic_.ToggleHitMark(); ShowChecks(); });
    connect(stepping_, &QCheckBox::clicked, this, [this] { logic_.ToggleStepping(); ShowChecks(); });
    connect(from_start, &QPushButton::clicked, this, [this] { logic_.PlayFromStart(); });
    connect(back, &QPushButton::clicked, this, [this] { logic_.StepBack(); });
    connect(play_, &QPushButton::clicked, this, [this] { logic_.PlayPause(); });
    connect(fwd, &QPushButton::clicked, this, [this] { logic_.StepForward(); });
    connect(head, &QPushButton::clicked, this, [this] { logic_.Head(); });
    connect(snap, &QPushButton::clicked, this, [this] {
        const std::string path = logic_.SnapShot();
        if (!path.empty()) emit snapshotSaved(QString::fromLocal8Bit(path.c_str()));
    });
    connect(one, &QPushButton::clicked, this, &CPageReplay::oneToOne);
    // Every scroll notification seeks, drags included; values the page sets
    // itself are no user action.
    connect(slider_, &QSlider::actionTriggered, this, [this] { logic_.Slider(slider_->sliderPosition()); });

    ShowChecks();
    thread_.Start();
}

CPageReplay::~CPageReplay() {
    timer23_.stop();
    // The thread's last callbacks reach a whole page.
    thread_.Post(REPLAY_QUIT);
    thread_.Join();
}

void CPageReplay::ShowChecks() {
    for (auto [box, on] : {std::pair{amask_, ctx_.ap.r_amask != 0}, std::pair{smask_, ctx_.ap.r_smask != 0},
                           std::pair{hmark_, ctx_.ap.r_hmark != 0}, std::pair{stepping_, ctx_.rp.deinterlace_stepping != 0}}) {
        QSignalBlocker b(box);
        box->setChecked(on);
    }
}

void CPageReplay::Entered() {
    FitVideo();
    ShowChecks();
    logic_.Enter();
}

void CPageReplay::Left() { logic_.Leave(); }

void CPageReplay::SelectClip(int index, const ClipEntry* entry) {
    logic_.SelectClip(index, entry);
    // The frame of the clip before must not show in the next one's first
    // paint.
    TakeFrame();
    video_->Forget();
}

bool CPageReplay::ReviewKey(int key) {
    switch (key) {
        case Qt::Key_Space: logic_.PlayPause(); return true;
        case Qt::Key_Right: logic_.StepForward(); return true;
        case Qt::Key_Left: logic_.StepBack(); return true;
        case Qt::Key_Home: logic_.PlayFromStart(); return true;
        case Qt::Key_H: logic_.Head(); return true;
        case Qt::Key_S: {
            const std::string path = logic_.SnapShot();
            if (!path.empty()) emit snapshotSaved(QString::fromLocal8Bit(path.c_str()));
            return true;
        }
        default: return false;
    }
}

void CPageReplay::resizeEvent(QResizeEvent*) { FitVideo(); }

void CPageReplay::FitVideo() {
    const int top_controls = controls_->sizeHint().height();
    controls_->setGeometry(0, 0, width(), top_controls);
    path_->setGeometry(6, top_controls, std::max(0, width() - 12), path_->sizeHint().height());
    const int slider_top = top_controls + path_->sizeHint().height() + 2;
    slider_->setGeometry(2, slider_top, std::max(0, width() - 4), 20);
    const int top = slider_top + 22;
    FitVideoArea(video_, this, top, ctx_.dp.cx, ctx_.dp.cy);
}

void CPageReplay::DeliverFrame(QImage&& frame) {
    {
        std::lock_guard<std::mutex> lock(frame_mu_);
        frame_ = std::move(frame);
    }
    OnGui([this] { video_->update(); });
}

QImage CPageReplay::TakeFrame() {
    std::lock_guard<std::mutex> lock(frame_mu_);
    QImage f = std::move(frame_);
    frame_ = QImage();
    return f;
}

void CPageReplay::OnGui(std::function<void()> fn) {
    if (QThread::currentThread() == QObject::thread()) {
        fn();
    } else {
        // Dropped by Qt when the page is gone before it runs.
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
    }
}

void CPageReplay::SetPlayCaption(const char* caption) { play_->setText(QString::fromLatin1(caption)); }
void CPageReplay::StartTimer(int period_ms) { timer23_.start(period_ms); }
void CPageReplay::KillTimer() { timer23_.stop(); }

void CPageReplay::SetSlider(int64_t ms) {
    QSignalBlocker b(slider_);
    slider_->setValue(static_cast<int>(std::clamp<int64_t>(ms, 0, INT32_MAX)));
}

void CPageReplay::SetPathText(const std::string& base_path) { path_->setText(QString::fromLocal8Bit(base_path.c_str())); }
void CPageReplay::InvalidateVideo() { video_->update(); }

void CPageReplay::SliderRange(int64_t max_ms) {
    const int m = static_cast<int>(std::clamp<int64_t>(max_ms, 0, INT32_MAX));
    OnGui([this, m] {
        QSignalBlocker b(slider_);
        slider_->setRange(0, m);
    });
}

void CPageReplay::SliderPosition(int64_t ms) { OnGui([this, ms] { SetSlider(ms); }); }
void CPageReplay::ShowVideo() { OnGui([this] { video_->update(); }); }
void CPageReplay::GraphEvent() { OnGui([this] { thread_.DrainEvents(); }); }

void CPageReplay::PlayCaption(const char* caption) {
    const QString c = QString::fromLatin1(caption);
    OnGui([this, c] { play_->setText(c); });
}

void CPageReplay::CommandDone(uint32_t code) {
    OnGui([this, code] { emit commandDone(code); });
}

}  // namespace vlx
