#include "vlx/ui/video_widget.h"

#include <algorithm>
#include <cstdint>

#include <QPainter>

#include "vlx/ui/preview_sink.h"

namespace vlx {

VideoWidget::VideoWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setObjectName(QStringLiteral("video"));
}

void VideoWidget::SetReceiver(FrameReceiver* receiver) {
    if (receiver_) disconnect(receiver_, nullptr, this, nullptr);
    receiver_ = receiver;
    if (receiver_) connect(receiver_, &FrameReceiver::frameReady, this, &VideoWidget::OnFrameReady, Qt::QueuedConnection);
}

void VideoWidget::SetLive(bool live) {
    if (live_ == live) return;
    live_ = live;
    if (!live_) {
        frame_ = QImage();
        if (receiver_) receiver_->Take();
    }
    update();
}

void VideoWidget::SetStill(const QImage& still) {
    still_ = still;
    if (!live_) update();
}

bool VideoWidget::TakePaintedLive() {
    bool p = painted_live_;
    painted_live_ = false;
    return p;
}

void VideoWidget::OnFrameReady() {
    if (!receiver_) return;
    QImage f = receiver_->Take();
    if (f.isNull() || !live_) return;
    frame_ = std::move(f);
    ++frames_shown_;
    update();
}

void VideoWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QImage& picture = (live_ && !frame_.isNull()) ? frame_ : still_;
    if (picture.isNull()) {
        p.fillRect(rect(), Qt::black);
    } else {
        p.drawImage(rect(), picture);
    }
    if (live_) painted_live_ = true;
}

void FitVideoArea(QWidget* video, QWidget* page, int top, int cx, int cy) {
    QWidget* win = page->window();
    const QPoint offset = page->mapTo(win, QPoint(6, top));
    const int avail_w = std::min(page->width() - 12, win->width() - offset.x() - 12);
    const int avail_h = win->height() - offset.y() - 8;
    cx = std::max(1, cx);
    cy = std::max(1, cy);
    int w = std::max(0, avail_w);
    int h = static_cast<int>(static_cast<int64_t>(w) * cy / cx);
    if (h > avail_h) {
        h = std::max(0, avail_h);
        w = static_cast<int>(static_cast<int64_t>(h) * cx / cy);
    }
    video->setGeometry(6, top, w, h);
}

}  // namespace vlx
