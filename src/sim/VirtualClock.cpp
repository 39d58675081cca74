#include "sim/VirtualClock.h"

namespace jv {

namespace {
constexpr uint64_t kDayUs = 86400ull * 1000000ull;
}

VirtualClock::VirtualClock(uint32_t startSecondsOfDay) { SetSecondsOfDay(startSecondsOfDay); }

void VirtualClock::SleepMs(uint32_t milliseconds) { Advance(milliseconds); }
void VirtualClock::Advance(uint64_t milliseconds) { nowUs_ += milliseconds * 1000; }
uint64_t VirtualClock::MonotonicMs() { return nowUs_ / 1000; }

void VirtualClock::SetSecondsOfDay(uint32_t secondsOfDay) {
    // Keep "now" where it is and move the day's origin so that now reads as
    // the given time of day.
    uint64_t wanted = (uint64_t{secondsOfDay} % 86400) * 1000000ull;
    dayStartUs_ = (wanted + kDayUs - nowUs_ % kDayUs) % kDayUs;
}

uint32_t VirtualClock::SecondsOfDay() {
    return static_cast<uint32_t>(((nowUs_ + dayStartUs_) % kDayUs) / 1000000ull);
}

uint64_t VirtualClock::PerfCounter() {
    nowUs_ += tickUs_;
    return nowUs_;
}
uint64_t VirtualClock::PerfFrequency() { return 1000000; }

}  // namespace jv
