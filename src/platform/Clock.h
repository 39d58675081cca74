#pragma once
// Time is a seam: every sleep, time-out, time-of-day read and performance
// counter read goes through the installed Clock, so the simulator and the
// tests can run two-minute waits in no real time.
#include <cstdint>

namespace jv {

class Clock {
public:
    virtual ~Clock() = default;
    virtual void SleepMs(uint32_t milliseconds) = 0;
    virtual uint64_t MonotonicMs() = 0;
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

// A clock that never waits: sleeping advances it. Time of day starts where
// it is told and wraps at midnight like a wall clock.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t startSecondsOfDay = 12 * 3600);
    void SleepMs(uint32_t milliseconds) override;
    uint64_t MonotonicMs() override;
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

// The machine's own clock.
class RealClock final : public Clock {
public:
    void SleepMs(uint32_t milliseconds) override;
    uint64_t MonotonicMs() override;
    uint32_t SecondsOfDay() override;
    uint32_t LocalDate() override;
    uint64_t PerfCounter() override;
    uint64_t PerfFrequency() override;
};

}  // namespace jv
