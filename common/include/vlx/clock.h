// The wall clock, injectable so that tests control time.
#pragma once

#include <cstdint>

namespace vlx {

struct WallTime {
    int64_t sec = 0;  // seconds since 1970-01-01 00:00:00 UTC
    int32_t ms = 0;   // 0..999
};

class WallClock {
public:
    virtual ~WallClock() = default;
    virtual WallTime Now() = 0;
};

// The system's real-time clock.
WallClock& SystemClock();

// A clock that tests set and advance by hand.
class ManualClock : public WallClock {
public:
    explicit ManualClock(WallTime t = {}) : t_(t) {}
    WallTime Now() override { return t_; }
    void Set(WallTime t) { t_ = t; }
    void AdvanceMs(int64_t ms) {
        int64_t total = t_.ms + ms;
        int64_t carry = total >= 0 ? total / 1000 : -((-total + 999) / 1000);
        t_.sec += carry;
        t_.ms = static_cast<int32_t>(total - carry * 1000);
    }

private:
    WallTime t_;
};

}  // namespace vlx
