// The live video area: the newest preview frame while a live pipeline runs,
// otherwise a still picture, each stretched into the widget.
#pragma once

#include <QImage>
#include <QWidget>

namespace vlx {

class FrameReceiver;

class VideoWidget : public QWidget {
    Q_OBJECT
public:
    explicit VideoWidget(QWidget* parent = nullptr);

    // Frames come from this receiver while live (GUI thread only).
    void SetReceiver(FrameReceiver* receiver);
    void SetLive(bool live);
    bool live() const { return live_; }
    void SetStill(const QImage& still);
    const QImage& still() const { return still_; }
    // Paints since the last call to painted_live() reset (for the repaint
    // countdown of the status timer).
    bool TakePaintedLive();
    int64_t frames_shown() const { return frames_shown_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void OnFrameReady();

    FrameReceiver* receiver_ = nullptr;
    bool live_ = false;
    bool painted_live_ = false;
    QImage frame_;
    QImage still_;
    int64_t frames_shown_ = 0;
};

// Places a page's video area at (6, top) as large as the page and the window
// allow, keeping the cx : cy picture shape.
void FitVideoArea(QWidget* video, QWidget* page, int top, int cx, int cy);

}  // namespace vlx
