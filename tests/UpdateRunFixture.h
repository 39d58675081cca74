#pragma once
// Whole update runs against the virtual drives of a rig: a scratch folder to
// run in (package names are given relative, since a leading "/" starts an
// option), the settings of the run, the sample drive and its package.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DriveRigFixture.h"
#include "PackageBuilder.h"
#include "driver/Program.h"
#include "flash/Flashmcu.h"
#include "package/BufferRecords.h"
#include "platform/Ports.h"
#include "platform/TempFile.h"
#include "sim/VirtualIde.h"

namespace jv::testing {

// The drive the sample package is made for, one version behind it.
inline const std::string kSampleDrive = R"(
[sample]
vendor = ZERV
product = DVD-RW QLX-1600
revision = 1.02
date_code = 050101
hardware_id = Q7
)";

inline const std::string kCompleted = "<at 1,20>========== Flash Completed Successfully==========\n";

inline test::SV3Package Mtk5Sample() {
    test::SV3Package package = test::SamplePackage();
    package.atapiFlashType = kAtapiMtk5;
    return package;
}

inline void WriteBytes(const std::filesystem::path& path, const test::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

using sim::BusPorts;

class UpdateRunFixture : public DriveRigTest {
protected:
    void SetUp() override {
        DriveRigTest::SetUp();
        // Other builds of this program may run the same test at the same time.
        std::string name = "jv-run-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                           "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        // Parameterised names carry a '/'.
        std::replace(name.begin(), name.end(), '/', '-');
        dir_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(dir_);
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        // The unpacked package goes where the test can see whether it is gone.
        SetPackageTempDirectory(dir_.string());
        UseSettings(0);
    }
    void TearDown() override {
        SetPackageTempDirectory("");
        std::filesystem::current_path(oldCwd_);
        std::filesystem::remove_all(dir_);
        // The embedded buffers belong to the whole test program.
        for (int n = 1; n <= 3; ++n) std::ranges::fill(PackageBuffer(n), uint8_t{0});
        std::ranges::fill(EmbeddedBuffer(BufferId::Cvt), uint8_t{0});
        std::ranges::fill(EmbeddedBuffer(BufferId::Parameter), uint8_t{0});
        DriveRigTest::TearDown();
    }

    // Every check on: the flash utility, or the updater.
    void UseSettings(int updater) {
        const std::string text = "[Main]\nUpdater=" + std::to_string(updater) +
                                 "\n[Other settings]\nCheckSum=1\nHardwareID=1\nModelName=1\n"
                                 "AvailableModel=0\nNoDisc=1\nTimer=1\n";
        LineList lines;
        size_t from = 0;
        for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
            lines.push_back(text.substr(from, at - from));
        }
        settings_ = ParseSettings(lines);
    }

    // The update run with the fixture's settings.
    int Run(std::vector<std::string> arguments, std::string keys = "") {
        console_.ClearTranscript();
        console_.SetKeys(std::move(keys));
        arguments.insert(arguments.begin(), "jorvane");
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        const SCommandLine args = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings_);
        EXPECT_FALSE(args.argumentError);
        return UpdateRun(settings_, args);
    }

    // The whole program as jorvane-sim's main runs it: built-in settings,
    // banner and all.
    int RunProgram(std::vector<std::string> arguments, std::string keys = "") {
        console_.ClearTranscript();
        console_.SetKeys(std::move(keys));
        arguments.insert(arguments.begin(), "jorvane-sim");
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        return ProgramMain(static_cast<int>(arguments.size()), argv.data());
    }

    std::string File(const std::string& name, const test::Bytes& bytes) {
        WriteBytes(dir_ / name, bytes);
        return name;
    }

    // The revision the drive answers now, read without sending it a command.
    std::string Revision(size_t drive) {
        const auto data = Drive(drive).InquiryData();
        return std::string(data.begin() + 32, data.begin() + 36);
    }

    SParameter settings_;
    std::filesystem::path dir_;
    std::filesystem::path oldCwd_;
};

}  // namespace jv::testing
