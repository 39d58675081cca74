#pragma once
// Time is a seam: every sleep, time-out, time-of-day read and performance
// counter read goes through the installed Clock, so the simulator and the
// tests can run two-minute waits in no real time (sim/VirtualClock.h).
#include <cstdint>

namespace jv {

class Clock {
public:
    virtual ~Clock() = default;
    virtual void SleepMs(uint32_t milliseconds) = 0;
    virtual uint64_t MonotonicMs() = 0;
    // The same in microseconds, for whatever notes when things happened (a
    // trace). Unlike PerfCounter, reading it never moves a virtual clock on.
    virtual uint64_t MonotonicUs() { return MonotonicMs() * 1000; }
    // Local time of day: hour * 3600 + minute * 60 + second.
    virtual uint32_t SecondsOfDay() = 0;
    // Local date as year * 10000 + month * 100 + day. A clock without a
    // calendar (the virtual ones) keeps to one day.
    virtual uint32_t LocalDate() { return 20260101; }
    virtual uint64_t PerfCounter() = 0;
    virtual uint64_t PerfFrequency() = 0;
};

Clock& TheClock();
void SetClock(Clock* clock);
Clock& DefaultClock();

inline void SleepMs(uint32_t ms) { TheClock().SleepMs(ms); }
inline uint64_t NowMs() { return TheClock().MonotonicMs(); }

// The machine's own clock.
class RealClock final : public Clock {
public:
    void SleepMs(uint32_t milliseconds) override;
    uint64_t MonotonicMs() override;
    uint64_t MonotonicUs() override;
    uint32_t SecondsOfDay() override;
    uint32_t LocalDate() override;
    uint64_t PerfCounter() override;
    uint64_t PerfFrequency() override;
};

}  // namespace jv
