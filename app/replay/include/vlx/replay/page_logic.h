// Everything the replay page does apart from drawing: the handlers of its
// buttons, slider and timer, clip selection and the still view. The page
// itself only forwards user actions here and implements ReplayView.
#pragma once

#include <string>

#include "vlx/app/context.h"
#include "vlx/replay/replay_thread.h"
#include "vlx/replay/still.h"

namespace vlx {

inline constexpr int kReplayTimerId = 23;

// What the logic asks of the page. Called on the page's thread.
class ReplayView {
public:
    virtual ~ReplayView() = default;
    virtual void SetPlayCaption(const char* /*caption*/) {}
    // Starts timer 23 with this period (only called when it isn't running).
    virtual void StartTimer(int /*period_ms*/) {}
    virtual void KillTimer() {}
    virtual void SetSlider(int64_t /*ms*/) {}
    virtual void SetPathText(const std::string& /*base_path*/) {}
    // Repaint the video area (it calls Paint()).
    virtual void InvalidateVideo() {}
    // After posting close, so the replay thread has usually torn down.
    virtual void WaitAfterClose();
};

class CPageReplayLogic {
public:
    CPageReplayLogic(AppContext& ctx, CReplayThread& thread, ReplayView& view);

    // "| >", ">" (and a click on the video area), ">||", "||<", "|| H".
    void PlayFromStart();
    void PlayPause();
    void StepForward();
    void StepBack();
    void Head();
    // Every scroll notification of the position slider.
    void Slider(int64_t ms);
    // Timer 23.
    void Timer();
    // "Still", clip selection, leaving the page.
    void StopReplay();
    // "SnapShot": the path written, or empty.
    std::string SnapShot();
    // "DeInterace Stepping" and the three overlay boxes.
    void ToggleStepping();
    void ToggleAreaMask();
    void ToggleSclMask();
    void ToggleHitMark();

    // From the clip database: entry nullptr (index -1 or out of range) means
    // no clip.
    void SelectClip(int index, const ClipEntry* entry);
    void ShowStill();

    // Painting the video area: true when the still image is to be drawn; while
    // a pipeline exists nothing is drawn and the repaint countdown restarts.
    bool Paint();

    void Enter();
    void Leave();
    // A left click on the main window while the page is active.
    void Click();

    const StillImage& display() const { return display_; }
    int clip_index() const { return index_; }
    const std::string& base_path() const { return sel_.base_path; }
    bool timer_running() const { return timer_period_ != 0; }
    int timer_period() const { return timer_period_; }
    int countdown() const { return countdown_; }

private:
    bool NoClip() const { return ctx_.rp.clip_type == 0; }
    void EnsureTimer(int period);
    Overlays CurrentOverlays() const;

    AppContext& ctx_;
    CReplayThread& thread_;
    ReplayView& view_;
    StillImage display_;
    int index_ = -1;
    ClipEntry entry_;
    ClipSelection sel_;
    int timer_period_ = 0;
    int countdown_ = 0;
    bool active_ = false;
};

}  // namespace vlx
