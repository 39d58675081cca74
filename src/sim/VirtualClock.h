#pragma once
// Time for the virtual programs and the tests: waits of minutes in the flash
// code must cost nothing when no drive is there, yet the program must see the
// same times it would see on a real drive.
#include <cstdint>

#include "platform/Clock.h"

namespace jv {

// A clock that never waits: sleeping advances it. Time of day starts where
// it is told and wraps at midnight like a wall clock.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t startSecondsOfDay = 12 * 3600);
    void SleepMs(uint32_t milliseconds) override;
    uint64_t MonotonicMs() override;
    uint64_t MonotonicUs() override { return nowUs_; }
    uint32_t SecondsOfDay() override;
    uint64_t PerfCounter() override;
    uint64_t PerfFrequency() override;

    void Advance(uint64_t milliseconds);
    void SetSecondsOfDay(uint32_t secondsOfDay);
    uint64_t ElapsedMs() const { return nowUs_ / 1000; }
    // The busy waits of the chip algorithms spin on the performance counter;
    // each read moves virtual time on so such loops end.
    void SetTickPerCounterRead(uint64_t microseconds) { tickUs_ = microseconds; }

private:
    uint64_t nowUs_ = 0;
    uint64_t dayStartUs_ = 0;
    uint64_t tickUs_ = 1;
};

}  // namespace jv
