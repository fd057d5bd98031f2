#include "vlx/replay/page_logic.h"

#include <chrono>
#include <thread>

namespace vlx {

void ReplayView::WaitAfterClose() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

CPageReplayLogic::CPageReplayLogic(AppContext& ctx, CReplayThread& thread, ReplayView& view)
    : ctx_(ctx), thread_(thread), view_(view) {
    // The picture before any clip: the capture size in grey.
    const int w = ctx.dp.cx > 0 ? ctx.dp.cx : 640, h = ctx.dp.cy > 0 ? ctx.dp.cy : 480;
    if (static_cast<int64_t>(w) * h * 3 <= kStillCapacity) display_.Fill(w, h, kNoClipGrey);
}

void CPageReplayLogic::EnsureTimer(int period) {
    if (timer_period_ != 0) return;
    timer_period_ = period;
    view_.StartTimer(period);
}

void CPageReplayLogic::PlayFromStart() {
    if (NoClip()) return;
    view_.SetPlayCaption("||");
    thread_.Post(REPLAY_STEP_FORWARD);
    thread_.Post(REPLAY_PLAY_FROM_START);
    EnsureTimer(33);
}

void CPageReplayLogic::PlayPause() {
    if (NoClip()) return;
    if (thread_.state() != kReplayRunning) {
        thread_.Post(REPLAY_STEP_FORWARD);
        view_.SetPlayCaption("||");
    } else {
        view_.SetPlayCaption(">");
    }
    EnsureTimer(100);
    thread_.Post(REPLAY_PLAY_PAUSE);
}

void CPageReplayLogic::StepForward() {
    if (NoClip()) return;
    view_.SetPlayCaption(">");
    thread_.Post(REPLAY_STEP_FORWARD);
}

void CPageReplayLogic::StepBack() {
    if (NoClip()) return;
    view_.SetPlayCaption(">");
    thread_.Post(REPLAY_STEP_BACK);
}

void CPageReplayLogic::Head() {
    if (NoClip() || ctx_.dp.fps <= 0) return;
    view_.SetPlayCaption(">");
    // The first frame after the head frames: the trigger point.
    const auto ms = static_cast<intptr_t>(1000.0 / ctx_.dp.fps * ctx_.dp.fs_head);
    thread_.Post(REPLAY_SEEK, ms);
}

void CPageReplayLogic::Slider(int64_t ms) {
    if (NoClip()) return;
    thread_.Post(REPLAY_SEEK, static_cast<intptr_t>(ms));
}

void CPageReplayLogic::Timer() {
    const int64_t pos = thread_.QueryPosition();
    if (pos >= 0) view_.SetSlider(pos / 10000);
    if (countdown_ != 0 && --countdown_ == 1) view_.InvalidateVideo();
}

void CPageReplayLogic::StopReplay() {
    if (timer_period_ != 0) {
        view_.KillTimer();
        timer_period_ = 0;
    }
    if (thread_.state() != kReplayNone || thread_.has_pipeline()) thread_.Post(REPLAY_CLOSE);
    view_.SetPlayCaption(">");
    view_.WaitAfterClose();
}

std::string CPageReplayLogic::SnapShot() { return thread_.Snapshot(); }

void CPageReplayLogic::ToggleStepping() { ctx_.rp.deinterlace_stepping = ctx_.rp.deinterlace_stepping ? 0 : 1; }

void CPageReplayLogic::ToggleAreaMask() {
    ctx_.ap.r_amask = !ctx_.ap.r_amask;
    ShowStill();
}

void CPageReplayLogic::ToggleSclMask() {
    ctx_.ap.r_smask = !ctx_.ap.r_smask;
    ShowStill();
}

void CPageReplayLogic::ToggleHitMark() {
    ctx_.ap.r_hmark = !ctx_.ap.r_hmark;
    ShowStill();
}

Overlays CPageReplayLogic::CurrentOverlays() const {
    return Overlays{ctx_.ap.r_amask != 0, ctx_.ap.r_smask != 0, ctx_.ap.r_hmark != 0};
}

void CPageReplayLogic::SelectClip(int index, const ClipEntry* entry) {
    index_ = entry ? index : -1;
    if (!entry) {
        StopReplay();
        sel_ = ClipSelection{};
        thread_.SetMediaPath("");
        ctx_.rp.clip_type = 0;
        display_.Fill(display_.width, display_.height, kNoClipGrey);
        view_.InvalidateVideo();
    } else {
        entry_ = *entry;
        sel_ = SelectionFor(*entry);
        ShowStill();  // stops replay before the clip changes under it
        thread_.SetMediaPath(sel_.media_path);
        ctx_.rp.clip_type = sel_.clip_type;
    }
    view_.SetPathText(sel_.base_path);
}

void CPageReplayLogic::ShowStill() {
    StopReplay();
    if (index_ < 0) return;
    BuildStillView(entry_, CurrentOverlays(), display_);
    view_.InvalidateVideo();
}

bool CPageReplayLogic::Paint() {
    if (thread_.state() == kReplayNone) return true;
    countdown_ = 5;
    return false;
}

void CPageReplayLogic::Enter() {
    ctx_.rp.reserved = 0;
    active_ = true;
}

void CPageReplayLogic::Leave() {
    if (thread_.has_pipeline()) ShowStill();
    ctx_.rp.reserved = 1;
    active_ = false;
}

void CPageReplayLogic::Click() {
    if (active_) PlayPause();
}

}  // namespace vlx
