// The performance timer and its deadlines.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "DriveAccessFixture.h"
#include "drive/Winfunc.h"
#include "flash/Flashknl.h"
#include "platform/AspiRoute.h"
#include "platform/Clock.h"
#include "platform/PassThroughRoute.h"
#include "platform/SgIoRoute.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"
#include "sim/VirtualRoute.h"

namespace jv {
namespace {

// A clock whose counter runs at a nanosecond rate, like the Linux one.
class FastCounterClock final : public Clock {
public:
    uint64_t counter = 0xFFFFFFF0ull * 64;  // near a wrap of the low 32 bits
    void SleepMs(uint32_t ms) override { counter += uint64_t{ms} * 1000000; }
    uint64_t MonotonicMs() override { return counter / 1000000; }
    uint32_t SecondsOfDay() override { return 0; }
    uint64_t PerfCounter() override { return counter += 100; }
    uint64_t PerfFrequency() override { return 1000000000; }
};

TEST(PerfTimer, RemainingCountsDownAndIsNeverNegative) {
    VirtualClockScope time;
    TPerfTimer timer(1000000);
    timer.SetDeadline(1, 5000);
    const int32_t first = timer.Remaining(1);
    EXPECT_LE(first, 5000);
    EXPECT_GE(first, 4990);
    time.clock.Advance(3);
    EXPECT_NEAR(timer.Remaining(1), 2000, 10);
    time.clock.Advance(10);
    EXPECT_EQ(timer.Remaining(1), 0);
    time.clock.Advance(1000000);
    EXPECT_EQ(timer.Remaining(1), 0);
    EXPECT_EQ(timer.Remaining(3), 0);   // a slot never set
    EXPECT_EQ(timer.Remaining(10), 0);  // no such slot
    timer.SetDeadline(-1, 5);           // ignored, not a write outside the slots
}

TEST(PerfTimer, DelayWaitsAtLeastTheAmount) {
    VirtualClockScope time;
    TPerfTimer millis(1000);
    const uint64_t start = time.clock.MonotonicMs();
    millis.Delay(25);
    EXPECT_GE(time.clock.MonotonicMs() - start, 25u);
    EXPECT_LT(time.clock.MonotonicMs() - start, 27u);
}

TEST(PerfTimer, ANanosecondCounterStillGivesMinuteLongDeadlines) {
    FastCounterClock clock;
    SetClock(&clock);
    TPerfTimer millis(1000);
    millis.SetDeadline(1, 60000);
    EXPECT_NEAR(millis.Remaining(1), 60000, 2);
    clock.SleepMs(59000);
    EXPECT_NEAR(millis.Remaining(1), 1000, 2);
    clock.SleepMs(2000);
    EXPECT_EQ(millis.Remaining(1), 0);
    SetClock(nullptr);
}

}  // namespace
}  // namespace jv
