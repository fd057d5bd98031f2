// The live page's logic without a window: the live state, the Rec toggle, the
// commands each action posts to the live thread, and the status text, colour
// and alarm. The Qt page and vlx2d both drive this class; the schedule reaches
// it through LiveActions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vlx/app/context.h"
#include "vlx/schedule/schedule.h"
#include "vlx/thread_msg.h"

namespace vlx {

// The status box: text, colour and whether entering it sounds the alarm.
struct StatusRow {
    const char* text;
    uint8_t r, g, b;
    bool alarm;
};

// The row for a combination of live state, manual Rec and the block's fields.
const StatusRow& ChooseStatusRow(int live_state, bool manual_rec, const DetectParams& dp);

// Detect size slider: sizes up to 299 sit at their own position, larger ones
// on a compressed scale up to 512.
int DetectSizeToSlider(int32_t size);
int32_t SliderToDetectSize(int position);

// Status refresh period (timer 22): three frame periods, truncated.
int StatusPeriodMs(double fps);

// The alarm: a sound file played asynchronously, or a beep.
class Alarm {
public:
    virtual ~Alarm() = default;
    virtual void PlayFile(const std::string& path) = 0;
    virtual void Beep() = 0;
};
// Plays through GStreamer (playbin; a short tone for the beep), falling back
// to the terminal bell when no audio output works.
std::unique_ptr<Alarm> MakeGstAlarm();

class LivePage : public LiveActions {
public:
    struct Hooks {
        // Posts a live command (message 1125, wParam) to the live thread.
        std::function<void(uint32_t command)> post;
        // Detection is about to start (the schedule's restart count).
        std::function<void()> detect_starting;
        // Shows an error to the user (defaults to ErrorBox).
        std::function<void(const std::string&)> error;
        // The status box was redrawn with this text and colour.
        std::function<void(const std::string& text, const StatusRow& row)> status_drawn;
        Alarm* alarm = nullptr;
    };

    LivePage(AppContext& ctx, Hooks hooks);

    // The four buttons as the user presses them.
    bool Preview();
    void UserDetect() { Detect(); }
    void UserStop() { Stop(); }
    void UserRec();

    // LiveActions (the schedule's view).
    int LiveState() override { return state_; }
    void Detect() override;
    void Stop() override;
    void PressRec() override;

    bool manual_rec() const { return rec_on_; }
    const char* rec_caption() const { return rec_on_ ? "RecOff" : "Rec"; }

    // Timer 22 and every state change: picks the status row for the current
    // combination, formats it (with "-<drop_count>" when frames were dropped),
    // sounds the alarm when entering an alarm row, and returns the text.
    std::string RefreshStatus();
    std::string status_text() const { return status_text_; }

    // Meter values: detect size (compressed, 0..511), detect level, audio.
    int SizeMeter() const;
    int LevelMeter() const;
    int AudioMeter() const;

    // Starts refused so far because the output is larger than the input.
    int refused_starts() const { return refused_starts_; }

private:
    bool StartFromIdle();

    AppContext& ctx_;
    Hooks hooks_;
    int state_ = kStop;
    int refused_starts_ = 0;
    bool rec_on_ = false;
    int last_combination_ = -1;
    std::string status_text_;
};

}  // namespace vlx
