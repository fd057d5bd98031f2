// The replay page of the right sheet: the clip's controls, the position
// slider, the path box and the video area, which shows the replay video
// while a pipeline exists and the still view (with its overlays) otherwise.
// What the buttons do is CPageReplayLogic's and the pipeline is
// CReplayThread's; this page draws and forwards.
#pragma once

#include <QCheckBox>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <mutex>

#include "vlx/app/context.h"
#include "vlx/replay/page_logic.h"
#include "vlx/replay/replay_thread.h"

typedef struct _GstElement GstElement;

namespace vlx {

class CPageReplay;

// The replay video area: paints the still view, or the newest frame of the
// replay sink; a left click is play/pause.
class ReplayVideo : public QWidget {
    Q_OBJECT
public:
    explicit ReplayVideo(CPageReplay* page);
    // The frame painted last while a pipeline existed (tests).
    QImage last_frame() const { return shown_; }
    void Forget() { shown_ = QImage(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    CPageReplay* page_;
    QImage shown_;
};

class CPageReplay : public QWidget, private ReplayView, private ReplayObserver {
    Q_OBJECT
public:
    // audio: the sound output of each build (empty: the desktop's default).
    CPageReplay(AppContext& ctx, std::function<GstElement*()> audio = {}, QWidget* parent = nullptr);
    ~CPageReplay() override;

    CPageReplayLogic& logic() { return logic_; }
    CReplayThread& thread() { return thread_; }
    ReplayVideo* video() { return video_; }
    QTimer* timer() { return &timer23_; }

    // The page is brought forward / left.
    void Entered();
    void Left();
    // The clip the database hands over (entry nullptr: none).
    void SelectClip(int index, const ClipEntry* entry);
    // The review keys (Space, Right, Left, Home, H, S); false for others.
    bool ReviewKey(int key);
    // The largest picture of the capture's aspect that fits the page and the
    // window below the area.
    void FitVideo();
    // The newest frame of the replay sink (any thread).
    void DeliverFrame(QImage&& frame);
    QImage TakeFrame();

signals:
    void previousClip();
    void nextClip();
    void oneToOne();
    // The replay thread has carried out (or abandoned) a command.
    void commandDone(uint32_t code);
    // A snapshot was written.
    void snapshotSaved(const QString& path);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class ReplayVideo;
    // ReplayView (GUI thread)
    void SetPlayCaption(const char* caption) override;
    void StartTimer(int period_ms) override;
    void KillTimer() override;
    void SetSlider(int64_t ms) override;
    void SetPathText(const std::string& base_path) override;
    void InvalidateVideo() override;
    // ReplayObserver (replay and streaming threads: queued to the GUI)
    void SliderRange(int64_t max_ms) override;
    void SliderPosition(int64_t ms) override;
    void ShowVideo() override;
    void GraphEvent() override;
    void PlayCaption(const char* caption) override;
    void CommandDone(uint32_t code) override;

    void ShowChecks();
    void OnGui(std::function<void()> fn);

    AppContext& ctx_;
    std::mutex frame_mu_;
    QImage frame_;
    CReplayThread thread_;
    CPageReplayLogic logic_;
    QWidget* controls_;
    QPushButton* play_;
    QCheckBox* amask_;
    QCheckBox* smask_;
    QCheckBox* hmark_;
    QCheckBox* stepping_;
    QSlider* slider_;
    QLineEdit* path_;
    ReplayVideo* video_;
    QTimer timer23_;
};

}  // namespace vlx
