#include "platform/Clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#include <time.h>
#endif

namespace jv {

namespace {
Clock* g_clock = nullptr;
}

Clock& TheClock() { return g_clock ? *g_clock : DefaultClock(); }
void SetClock(Clock* clock) { g_clock = clock; }

#ifdef _WIN32
void RealClock::SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }
// GetTickCount64 is missing before Vista; widen the 32-bit tick count by
// counting its wraps (every 49.7 days) instead. One thread reads it.
uint64_t RealClock::MonotonicMs() {
    static DWORD last = GetTickCount();
    static uint64_t wraps = 0;
    DWORD now = GetTickCount();
    if (now < last) ++wraps;
    last = now;
    return (wraps << 32) | now;
}
uint64_t RealClock::MonotonicUs() {
    // The performance counter, in whole microseconds; a counter that runs
    // slower than that (none does) still gives the millisecond clock.
    const uint64_t frequency = PerfFrequency();
    if (frequency < 1000000) return MonotonicMs() * 1000;
    const uint64_t counter = PerfCounter();
    return counter / frequency * 1000000 + counter % frequency * 1000000 / frequency;
}
uint32_t RealClock::SecondsOfDay() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return t.wHour * 3600u + t.wMinute * 60u + t.wSecond;
}
uint32_t RealClock::LocalDate() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return t.wYear * 10000u + t.wMonth * 100u + t.wDay;
}
uint64_t RealClock::PerfCounter() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return static_cast<uint64_t>(v.QuadPart);
}
uint64_t RealClock::PerfFrequency() {
    LARGE_INTEGER v;
    QueryPerformanceFrequency(&v);
    return static_cast<uint64_t>(v.QuadPart);
}
#else
void RealClock::SleepMs(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
uint64_t RealClock::MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
uint64_t RealClock::MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}
uint32_t RealClock::SecondsOfDay() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return static_cast<uint32_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}
uint32_t RealClock::LocalDate() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return static_cast<uint32_t>((local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday);
}
uint64_t RealClock::PerfCounter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}
uint64_t RealClock::PerfFrequency() { return 1000000000u; }
#endif

}  // namespace jv
