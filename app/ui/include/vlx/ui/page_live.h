// The live page: Stop / Preview / Detect / Rec, the detect size, detect level
// and audio controls with their meters, 1:N, and the live video area. The
// live state, the commands and the status texts are LivePage's; this page
// only draws them and forwards the user's actions.
#pragma once

#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>

#include "vlx/app/context.h"
#include "vlx/capture/live_page.h"

namespace vlx {

class FrameReceiver;
class VideoWidget;

class CPageLive : public QWidget {
    Q_OBJECT
public:
    CPageLive(AppContext& ctx, LivePage& page, FrameReceiver* receiver, QWidget* parent = nullptr);

    // The buttons, as the user presses them (also what the schedule and the
    // pipeline's stop requests go through).
    void OnStop();
    void OnPreview();
    void OnDetect();
    void OnRec();

    // Enabling, Rec caption, video source and timer 22 after a state change
    // made elsewhere (the schedule, a stop request).
    void SyncControls();
    // Timer 22: status, meters, the detect level box, the repaint countdown.
    void Tick();
    // The page has been brought to the front.
    void Activated();
    // The largest picture of the capture's aspect that fits the page and the
    // window below the area.
    void FitVideo();
    // Boxes, sliders and meter ranges from the settings.
    void ShowSettings();

    VideoWidget* video() { return video_; }
    QTimer* status_timer() { return &timer22_; }

signals:
    void oneToOne();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void AfterAction(int state_before);
    void SetSizeBox(int size);

    AppContext& ctx_;
    LivePage& page_;
    QWidget* controls_;
    QPushButton* stop_;
    QPushButton* preview_;
    QPushButton* detect_;
    QPushButton* rec_;
    QPushButton* one_to_n_;
    QSpinBox* size_box_;
    QSlider* size_slider_;
    QSpinBox* lev_box_;
    QSlider* lev_slider_;
    QSpinBox* audio_box_;
    QSlider* audio_slider_;
    QProgressBar* size_meter_;
    QProgressBar* lev_meter_;
    QProgressBar* audio_meter_;
    VideoWidget* video_;
    QTimer timer22_;
    int dlev_written_ = -1;
    int repaint_countdown_ = 0;
};

}  // namespace vlx
