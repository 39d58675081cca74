#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/RecordingConsole.h"
#include "sim/VirtualClock.h"

namespace jv {
namespace {

TEST(VirtualClock, SleepAdvancesTimeAndTimeOfDayWrapsAtMidnight) {
    VirtualClock clock(23 * 3600 + 59 * 60 + 50);
    clock.SleepMs(5000);
    EXPECT_EQ(clock.MonotonicMs(), 5000u);
    EXPECT_EQ(clock.SecondsOfDay(), 23u * 3600 + 59 * 60 + 55);
    clock.SleepMs(75000);
    EXPECT_EQ(clock.SecondsOfDay(), 70u);
}

TEST(VirtualClock, PerformanceCounterMovesOnEveryReadSoBusyWaitsEnd) {
    VirtualClock clock;
    uint64_t first = clock.PerfCounter();
    uint64_t second = clock.PerfCounter();
    EXPECT_GT(second, first);
    EXPECT_EQ(clock.PerfFrequency(), 1000000u);
}

TEST(RecordingConsole, NotesScreenOperationsAndReadsScriptedAnswers) {
    RecordingConsole console("y\n 12 \nx\n");
    ScopedConsole scope(console);
    ClearScreen();
    GotoXY(1, 9);
    Print("Flash Bank: %d\n", 3);
    SetTextColor(2);
    EXPECT_EQ(console.Transcript(), "<cls><at 1,9>Flash Bank: 3\n<color 2>");
    EXPECT_EQ(console.Text(), "Flash Bank: 3\n");
    EXPECT_TRUE(AskYes());
    long n = 0;
    EXPECT_TRUE(console.ReadNumber(n));  // the rest of the "y" line is empty
    EXPECT_EQ(n, 12);
    EXPECT_FALSE(console.ReadNumber(n));  // "x" is not a number
    EXPECT_EQ(GetKey(), -1);              // end of input
}

}  // namespace
}  // namespace jv
