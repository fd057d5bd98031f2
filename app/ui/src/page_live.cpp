#include "vlx/ui/page_live.h"

#include <QGridLayout>
#include <QLabel>
#include <QSignalBlocker>

#include <algorithm>

#include "vlx/ui/preview_sink.h"
#include "vlx/ui/video_widget.h"

namespace vlx {
namespace {

QProgressBar* Meter(const QString& name, QWidget* parent) {
    auto* m = new QProgressBar(parent);
    m->setObjectName(name);
    m->setTextVisible(false);
    m->setFixedHeight(10);
    return m;
}

QSlider* Slider(const QString& name, QWidget* parent) {
    auto* s = new QSlider(Qt::Horizontal, parent);
    s->setObjectName(name);
    return s;
}

QSpinBox* Box(const QString& name, int lo, int hi, QWidget* parent) {
    auto* b = new QSpinBox(parent);
    b->setObjectName(name);
    b->setRange(lo, hi);
    b->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    b->setKeyboardTracking(false);
    b->setMinimumWidth(80);
    return b;
}

}  // namespace

CPageLive::CPageLive(AppContext& ctx, StationControl& station, FrameReceiver* receiver, QWidget* parent)
    : QWidget(parent), ctx_(ctx), station_(station) {
    setObjectName(QStringLiteral("Live"));
    controls_ = new QWidget(this);
    auto* g = new QGridLayout(controls_);
    g->setContentsMargins(6, 4, 6, 2);
    g->setVerticalSpacing(2);

    auto button = [this](const QString& text) {
        auto* b = new QPushButton(text, controls_);
        b->setObjectName(text);
        b->setAutoDefault(false);
        return b;
    };
    stop_ = button(QStringLiteral("Stop"));
    preview_ = button(QStringLiteral("Preview"));
    detect_ = button(QStringLiteral("Detect"));
    rec_ = button(QStringLiteral("Rec"));
    one_to_n_ = button(QStringLiteral("1:N"));
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {stop_, preview_, detect_, rec_}) buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(one_to_n_);
    // 1:N sits at the page's right edge.
    buttons->addSpacing(32 - 6 - 2);
    g->addLayout(buttons, 0, 0, 1, 3);

    size_box_ = Box(QStringLiteral("IF.dsize"), 1, 1310720, controls_);
    size_slider_ = Slider(QStringLiteral("dsizeSlider"), controls_);
    size_meter_ = Meter(QStringLiteral("sizeMeter"), controls_);
    lev_box_ = Box(QStringLiteral("IF.dlev"), 1, 255, controls_);
    lev_slider_ = Slider(QStringLiteral("dlevSlider"), controls_);
    lev_meter_ = Meter(QStringLiteral("levelMeter"), controls_);
    audio_box_ = Box(QStringLiteral("IF.alev"), 0, 32767, controls_);
    audio_slider_ = Slider(QStringLiteral("alevSlider"), controls_);
    audio_meter_ = Meter(QStringLiteral("audioMeter"), controls_);
    int row = 1;
    for (auto [caption, box, slider, meter] :
         {std::tuple{QStringLiteral("Detect Size"), size_box_, size_slider_, size_meter_},
          std::tuple{QStringLiteral("Detect Lev"), lev_box_, lev_slider_, lev_meter_},
          std::tuple{QStringLiteral("Audio"), audio_box_, audio_slider_, audio_meter_}}) {
        g->addWidget(new QLabel(caption, controls_), row, 0);
        g->addWidget(box, row, 1);
        g->addWidget(slider, row, 2);
        g->addWidget(meter, row + 1, 2);
        row += 2;
    }
    g->setColumnStretch(2, 1);

    video_ = new VideoWidget(this);
    video_->SetReceiver(receiver);

    // Detect size: the slider's compressed scale; a size beyond the slider's
    // reach stays as typed while the slider stops at its end.
    connect(size_slider_, &QSlider::valueChanged, this, [this](int p) {
        const int32_t size = SliderToDetectSize(p);
        if (size == ctx_.dp.dsize) return;
        ctx_.dp.dsize = size;
        QSignalBlocker b(size_box_);
        size_box_->setValue(size);
    });
    connect(size_box_, &QSpinBox::valueChanged, this, [this](int v) { SetSizeBox(v); });
    connect(lev_slider_, &QSlider::valueChanged, this, [this](int v) {
        ctx_.dp.dlev = v;
        QSignalBlocker b(lev_box_);
        lev_box_->setValue(v);
        dlev_written_ = v;
    });
    connect(lev_box_, &QSpinBox::valueChanged, this, [this](int v) {
        ctx_.dp.dlev = v;
        dlev_written_ = v;
        QSignalBlocker b(lev_slider_);
        lev_slider_->setValue(v);
    });
    connect(audio_slider_, &QSlider::valueChanged, this, [this](int v) {
        ctx_.dp.alev = v;
        QSignalBlocker b(audio_box_);
        audio_box_->setValue(v);
    });
    connect(audio_box_, &QSpinBox::valueChanged, this, [this](int v) {
        ctx_.dp.alev = v;
        QSignalBlocker b(audio_slider_);
        audio_slider_->setValue(v);
    });
    // Leaving a box shows the stored value again.
    connect(size_box_, &QSpinBox::editingFinished, this, [this] {
        QSignalBlocker b(size_box_);
        size_box_->setValue(ctx_.dp.dsize);
    });
    connect(lev_box_, &QSpinBox::editingFinished, this, [this] {
        QSignalBlocker b(lev_box_);
        lev_box_->setValue(ctx_.dp.dlev);
    });
    connect(audio_box_, &QSpinBox::editingFinished, this, [this] {
        QSignalBlocker b(audio_box_);
        audio_box_->setValue(ctx_.dp.alev);
    });

    connect(stop_, &QPushButton::clicked, this, &CPageLive::OnStop);
    connect(preview_, &QPushButton::clicked, this, &CPageLive::OnPreview);
    connect(detect_, &QPushButton::clicked, this, &CPageLive::OnDetect);
    connect(rec_, &QPushButton::clicked, this, &CPageLive::OnRec);
    connect(one_to_n_, &QPushButton::clicked, this, &CPageLive::oneToOne);
    timer22_.setObjectName(QStringLiteral("timer22"));
    connect(&timer22_, &QTimer::timeout, this, &CPageLive::Tick);

    ShowSettings();
}

void CPageLive::SetSizeBox(int v) {
    ctx_.dp.dsize = v;
    QSignalBlocker b(size_slider_);
    size_slider_->setValue(DetectSizeToSlider(v));  // the slider clamps at 512
}

void CPageLive::ShowSettings() {
    size_slider_->blockSignals(true);
    lev_slider_->blockSignals(true);
    audio_slider_->blockSignals(true);
    size_box_->blockSignals(true);
    lev_box_->blockSignals(true);
    audio_box_->blockSignals(true);
    size_slider_->setRange(1, 512);
    lev_slider_->setRange(0, 255);
    audio_slider_->setRange(0, 32767);
    size_meter_->setRange(0, 511);
    lev_meter_->setRange(0, 255);
    audio_meter_->setRange(0, 32767);
    audio_meter_->setValue(0);
    size_box_->setValue(ctx_.dp.dsize);
    size_slider_->setValue(DetectSizeToSlider(ctx_.dp.dsize));
    lev_box_->setValue(ctx_.dp.dlev);
    lev_slider_->setValue(ctx_.dp.dlev);
    dlev_written_ = ctx_.dp.dlev;
    audio_box_->setValue(ctx_.dp.alev);
    audio_slider_->setValue(ctx_.dp.alev);
    for (QWidget* w : std::initializer_list<QWidget*>{size_slider_, lev_slider_, audio_slider_, size_box_, lev_box_, audio_box_}) {
        w->blockSignals(false);
    }
}

void CPageLive::OnStop() {
    const int before = view_.live_state;
    station_.Stop();
    AfterAction(before);
}

void CPageLive::OnPreview() {
    const int before = view_.live_state;
    station_.Preview();
    AfterAction(before);
}

void CPageLive::OnDetect() {
    const int before = view_.live_state;
    station_.Detect();
    AfterAction(before);
}

void CPageLive::OnRec() {
    const int before = view_.live_state;
    station_.Rec();
    AfterAction(before);
}

void CPageLive::AfterAction(int state_before) {
    SyncControls();
    // A start: the audio meter from 0, and the status timer.
    if (state_before == LiveActions::kStop && view_.live_state != LiveActions::kStop) audio_meter_->setValue(0);
}

void CPageLive::SyncControls() { Apply(station_.Refresh()); }

void CPageLive::Apply(const LiveView& v) {
    view_ = v;
    const int state = v.live_state;
    stop_->setEnabled(state != LiveActions::kStop);
    rec_->setEnabled(state != LiveActions::kStop);
    preview_->setEnabled(state != LiveActions::kPreview);
    detect_->setEnabled(state != LiveActions::kDetect);
    rec_->setText(v.manual_rec ? QStringLiteral("RecOff") : QStringLiteral("Rec"));
    video_->SetLive(state != LiveActions::kStop);
    if (state == LiveActions::kStop) {
        timer22_.stop();
    } else if (!timer22_.isActive()) {
        timer22_.start(StatusPeriodMs(ctx_.dp.fps));
    }
    size_meter_->setValue(std::clamp(v.size_meter, 0, 511));
    lev_meter_->setValue(std::clamp(v.level_meter, 0, 255));
    audio_meter_->setValue(std::clamp(v.audio_meter, 0, 32767));
    if (show_status) show_status(v);
}

void CPageLive::Tick() {
    Apply(station_.Refresh());
    // Noise tracking moves the detect level; show where it went.
    if (ctx_.dp.dlev != dlev_written_) {
        dlev_written_ = ctx_.dp.dlev;
        QSignalBlocker b1(lev_box_);
        QSignalBlocker b2(lev_slider_);
        lev_box_->setValue(ctx_.dp.dlev);
        lev_slider_->setValue(ctx_.dp.dlev);
    }
    if (video_->TakePaintedLive()) repaint_countdown_ = 5;
    if (repaint_countdown_ > 0 && --repaint_countdown_ == 1) video_->update();
}

void CPageLive::Activated() {
    ShowSettings();
    SyncControls();
    ctx_.dp.preview_off = 0;
    ctx_.dp.live_shown = 1;
    FitVideo();
}

void CPageLive::resizeEvent(QResizeEvent*) {
    controls_->setGeometry(0, 0, width(), controls_->sizeHint().height());
    FitVideo();
}

void CPageLive::FitVideo() {
    const int top = controls_->sizeHint().height() + 4;
    FitVideoArea(video_, this, top, ctx_.dp.cx, ctx_.dp.cy);
}

}  // namespace vlx
