#pragma once
// Tests that talk to virtual drives through the real drive access object:
// a rig text becomes the machine's drives, a virtual clock the machine's
// time, and a recording console its screen and keyboard.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "drive/Winfunc.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/RecordingConsole.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"
#include "sim/VirtualRoute.h"

namespace jv {

// What a failed expectation on a step's result shows.
inline void PrintTo(const FlashResult& result, std::ostream* out) {
    if (result.EndsRun()) {
        *out << "the run's end";
    } else if (result) {
        *out << '"' << *result << '"';
    } else {
        *out << "success";
    }
}

}  // namespace jv

namespace jv::testing {

// "FA 34 12 ..." for comparing command blocks.
inline std::string Hex(const std::array<uint8_t, 12>& bytes) {
    std::string out;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%s%02X", out.empty() ? "" : " ", b);
        out += two;
    }
    return out;
}

class DriveRigTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock(&clock_);
        SetConsole(&console_);
    }

    void TearDown() override {
        // Back to the program's own rig before ours goes away.
        ResetDriveAccessForTest();
        SetConsole(nullptr);
        SetClock(nullptr);
    }

    // Installs the drives of a rig text; the scan's own commands are dropped
    // from the transcripts and the clock starts at zero elapsed time.
    void LoadRig(const std::string& text) {
        std::string error;
        auto rig = sim::ParseRig(text, "test rig", error);
        ASSERT_TRUE(rig.has_value()) << error;
        rig_ = std::move(*rig);
        InstallRig();
    }

    // Puts the drives of rig_ into the machine again, for a test that gave
    // a drive what no rig text can say.
    void InstallRig() {
        std::vector<sim::VirtualDrive*> drives;
        for (auto& drive : rig_.drives) drives.push_back(drive.get());
        ResetDriveAccessForTest(MakeVirtualRoute(drives, EVirtualPlatform::Linux), true);
        for (auto& drive : rig_.drives) drive->ClearTranscript();
        start_ = clock_.ElapsedMs();
    }

    sim::VirtualDrive& Drive(size_t index) { return *rig_.drives.at(index); }
    const std::vector<sim::STranscriptEntry>& Sent(size_t index = 0) { return Drive(index).Transcript(); }
    std::string LastBlock(size_t index = 0) {
        const auto& sent = Sent(index);
        return sent.empty() ? std::string("(nothing sent)") : Hex(sent.back().cdb);
    }
    uint64_t Elapsed() const { return clock_.ElapsedMs() - start_; }

    VirtualClock clock_;
    RecordingConsole console_;
    sim::SRig rig_;
    uint64_t start_ = 0;
};

}  // namespace jv::testing
