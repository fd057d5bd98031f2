// What the window drives: the live page's buttons, the status refresh and the
// "VLX_QUERY" answer. LocalStation runs the live page's logic and the
// schedule on the GUI thread over a live thread; the window does not care
// which station it has.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "vlx/app/context.h"
#include "vlx/capture/live_page.h"
#include "vlx/capture/station.h"
#include "vlx/schedule/schedule.h"
#include "vlx/thread_msg.h"

namespace vlx {

// What the live page shows after a status refresh.
struct LiveView {
    int live_state = LiveActions::kStop;
    bool manual_rec = false;
    std::string status_text = " status : idle ";
    StatusRow row{" status : idle ", 160, 160, 160, false};
    int size_meter = 0;   // 0..511
    int level_meter = 0;  // 0..255
    int audio_meter = 0;  // 0..32767, 0 without an audio device
};

class StationControl {
public:
    virtual ~StationControl() = default;
    // The end of the window's initialisation: the live side's init, the sun
    // times, the schedule timer, the auto-start.
    virtual void Start() = 0;
    virtual void Preview() = 0;
    virtual void Detect() = 0;
    virtual void Stop() = 0;
    virtual void Rec() = 0;
    // The status refresh (timer 22 and after each state change).
    virtual LiveView Refresh() = 0;
    // VLX_QUERY: the element's reserved call while live, then (max_level, clip_count).
    virtual std::pair<int64_t, int64_t> Query() = 0;
    // The window closes: the window-level timers end.
    virtual void Close() {}

    // Set by the window; called on the GUI thread when the live state changed
    // other than by a button (the schedule, a stop request from the pipeline).
    std::function<void()> on_change;
    // Set by the window; called on the GUI thread with the map picture file
    // of each finished clip (the live still shows the latest one).
    std::function<void(const std::string& path)> on_map_picture;
};

// The live page logic and the detection schedule on the GUI thread; commands
// go to the live thread through `post`, its messages come back through
// OnMainMessage.
class LocalStation : public QObject, public StationControl {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void(uint32_t command)> post;
        std::function<void()> call_reserved;
        Alarm* alarm = nullptr;
        std::function<void(int ms)> sleep;  // the schedule's waits; a real sleep when empty
    };
    LocalStation(AppContext& ctx, Hooks hooks);

    void Start() override;
    void Preview() override { page_.Preview(); }
    void Detect() override { page_.UserDetect(); }
    void Stop() override { page_.UserStop(); }
    void Rec() override { page_.UserRec(); }
    LiveView Refresh() override;
    std::pair<int64_t, int64_t> Query() override;
    void Close() override { timer21_.stop(); }

    // A message posted to the main thread by the live side (GUI thread).
    void OnMainMessage(const ThreadMessage& m);

    LivePage& page() { return page_; }
    DetectSchedule& schedule() { return schedule_; }
    QTimer* minute_timer() { return &timer21_; }

private:
    void Changed() {
        if (on_change) on_change();
    }

    AppContext& ctx_;
    Hooks hooks_;
    LivePage page_;
    DetectSchedule schedule_;
    QTimer timer21_;
};

// The shared headless Station (the one vlx2d runs) behind the window: its
// commands are queued to its supervisor thread, its state and status events
// come back to the GUI thread queued. It answers "VLX_QUERY" itself.
class StationFront : public QObject, public StationControl {
    Q_OBJECT
public:
    // options.make_preview_sink is set to the window's preview sink when
    // empty; the station stays up at the end of a file input.
    StationFront(AppContext& ctx, StationOptions options, StationEvents extra = {});
    ~StationFront() override;

    void Start() override { station_->Start(false); }
    void Preview() override { station_->Preview(); }
    void Detect() override { station_->Detect(); }
    void Stop() override { station_->StopCapture(); }
    void Rec() override { station_->Rec(); }
    LiveView Refresh() override;
    std::pair<int64_t, int64_t> Query() override { return station_->Query(); }

    Station& station() { return *station_; }

private:
    AppContext& ctx_;
    std::unique_ptr<Station> station_;
};

}  // namespace vlx
