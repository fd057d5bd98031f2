// The live page: Stop / Preview / Detect / Rec, the detect size, detect level
// and audio controls with their meters, 1:N, and the live video area. The
// live state, the commands and the status texts are the station's; this page
// only draws them and forwards the user's actions.
#pragma once

#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "vlx/app/context.h"
#include "vlx/ui/station_control.h"

namespace vlx {

class FrameReceiver;
class VideoWidget;

class CPageLive : public QWidget {
    Q_OBJECT
public:
    CPageLive(AppContext& ctx, StationControl& station, FrameReceiver* receiver, QWidget* parent = nullptr);

    // The buttons, as the user presses them (also what the schedule and the
    // pipeline's stop requests go through).
    void OnStop();
    void OnPreview();
    void OnDetect();
    void OnRec();

    // A status refresh, then enabling, Rec caption, video source, meters and
    // timer 22 as it says (also after a state change made elsewhere).
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
    const LiveView& view() const { return view_; }
    // Draws the status box (set by the window).
    std::function<void(const LiveView&)> show_status;
    QTimer* status_timer() { return &timer22_; }

signals:
    void oneToOne();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void AfterAction(int state_before);
    void Apply(const LiveView& v);
    void SetSizeBox(int size);

    AppContext& ctx_;
    StationControl& station_;
    LiveView view_;
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
