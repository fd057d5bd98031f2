#include "vlx/clock.h"

#include <ctime>

namespace vlx {
namespace {

class RealClock : public WallClock {
public:
    WallTime Now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return WallTime{static_cast<int64_t>(ts.tv_sec), static_cast<int32_t>(ts.tv_nsec / 1000000)};
    }
};

}  // namespace

WallClock& SystemClock() {
    static RealClock clock;
    return clock;
}

}  // namespace vlx
