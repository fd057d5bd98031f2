// The one-second schedule timer's work: the two daily detection windows, the
// periodic restart of detection, the forced timer recording, and the start of
// detection at activation.
//
// The schedule touches live capture only through LiveActions, so the window
// and the window-less daemon drive the same code. Everything runs on the
// caller's thread; the waits block it, through an injectable sleep. Clock
// times are ctx.clock's instant in the process's local time zone (TZ).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

#include "vlx/app/context.h"

namespace vlx {

// The live page's actions, as the schedule needs them.
class LiveActions {
public:
    enum State : int { kStop = 0, kPreview = 1, kDetect = 2 };

    virtual ~LiveActions() = default;
    virtual int LiveState() = 0;
    // The Detect button: from Stop builds the pipeline and turns detection on.
    // It may refuse (the state then stays as it was).
    virtual void Detect() = 0;
    // The Stop button.
    virtual void Stop() = 0;
    // The record button, toggling manual recording. Unlike a user's press it
    // must leave DetectParams::timer_trig alone.
    virtual void PressRec() = 0;
};

// Is a minute of the day (hour * 60 + minute) inside the window start..end?
// The end minute is outside; an end before the start wraps past midnight; an
// end equal to the start is an empty window.
bool InsideWindow(int now, int start, int end);
bool InsideSchedule(const ScheduleSettings& sd, int now);

class DetectSchedule {
public:
    struct Hooks {
        // Blocks the calling thread; a real sleep when empty.
        std::function<void(int ms)> sleep;
        // Reads the settings file named by ctx.settings_file into ctx (the
        // settings store's ReadSettings, which also recomputes the sun times
        // when AP.sunset is on). Profiles are not loaded when empty.
        std::function<void()> read_settings;
        // Asks the clip database page to list its days again (new day).
        std::function<void()> refresh_clip_db;
    };

    DetectSchedule(AppContext& ctx, LiveActions& live, Hooks hooks);

    // When the window (or the daemon) initialises, before the timer starts:
    // computes the sun times when AP.sunset is on.
    void Initialise();

    // Once, at the end of the window's initialisation: starts detection when
    // AP.md_autorun is on and now is inside a schedule (or none is on).
    void AutoStart();

    // Every tick of the one-second timer. Acts once per new clock minute.
    void MinuteCheck();

    // Detection has started: the auto-restart count starts over. The live side
    // calls this before every detect-on, the user's Detect included; starts
    // made by the schedule itself reset the count as well.
    void OnDetectStarted() { restart_minutes_ = 0; }

    // Loads schedule n's profile (0 or 1) when it names another settings file.
    void LoadProfile(int n);

    // The clip database page has been opened (the minute check then runs for
    // its new-day refresh even with every schedule off).
    void SetClipDbOpened(bool opened) { clip_db_opened_ = opened; }

    int restart_minutes() const { return restart_minutes_; }

private:
    std::tm LocalNow();
    void Sleep(int ms);
    void StartDetect();
    void RunWindow(int n, int hour, int minute);

    AppContext& ctx_;
    LiveActions& live_;
    Hooks hooks_;
    int64_t last_minute_ = INT64_MIN;  // none seen yet, so the start-up minute is acted on too
    int restart_minutes_ = 0;
    bool clip_db_opened_ = false;
};

}  // namespace vlx
