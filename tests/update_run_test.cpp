// The whole update run against virtual drives: packages from files, zip
// archives and the embedded buffers, the questions and every way of saying
// no, the Windows 98 notification, the timing line and the result rows.
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "UpdateRunFixture.h"
#include "drive/Autoinsertnotification.h"
#include "drive/Winfunc.h"
#include "platform/Registry.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using testing::kSampleDrive;
using testing::Mtk5Sample;
using testing::WriteBytes;

const std::string kDriveLine = "Drive to Update : ZERV    DVD-RW QLX-1600  1.02 050101\n";
const std::string kFirmwareLine = "New Firmware    : ZERV    DVD-RW QLX-1600  1.05 061120\n";

// A package for another model, with its own version.
test::SV3Package OtherModel(const std::string& model, const std::string& version) {
    test::SV3Package package = Mtk5Sample();
    test::SInfoBlock info;
    info.modelName = model;
    info.version = version;
    test::PutInfoBlock(package.banks[0], package.maxBankSize / 2, info);
    return package;
}

test::SPhilipsFile PhilipsSample() {
    test::SPhilipsFile file;
    file.image = test::FillerBytes(2 * 16384 - 40, 7);
    file.trailer1 = 0x1234;
    file.trailer2 = 0xABCD;
    return file;
}

void WriteZip(const fs::path& path, const std::vector<std::pair<std::string, Bytes>>& entries) {
    // The narrow name: on Windows a path's c_str() is wide, and minizip takes it untyped.
    zipFile zip = zipOpen64(path.string().c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zip, nullptr);
    for (const auto& [name, content] : entries) {
        zip_fileinfo info{};
        ASSERT_EQ(zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                      Z_BEST_SPEED),
                  ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size())), ZIP_OK);
        ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

// Hands out a fixed time of day for the start of the flash and another for
// its end; everything else is the fixture's virtual clock.
class MidnightClock final : public Clock {
public:
    MidnightClock(Clock& base, uint32_t start, uint32_t end) : base_(base), start_(start), end_(end) {}
    void SleepMs(uint32_t ms) override { base_.SleepMs(ms); }
    uint64_t MonotonicMs() override { return base_.MonotonicMs(); }
    uint32_t SecondsOfDay() override { return reads_++ == 0 ? start_ : end_; }
    uint64_t PerfCounter() override { return base_.PerfCounter(); }
    uint64_t PerfFrequency() override { return base_.PerfFrequency(); }

private:
    Clock& base_;
    uint32_t start_, end_;
    int reads_ = 0;
};

// A user who types nothing while the program waits for a drive, so that the
// scripted answers reach the questions asked after the wait.
class PatientUser final : public Console {
public:
    explicit PatientUser(Console& keys) : keys_(keys) {}
    void Clear() override { keys_.Clear(); }
    void MoveTo(int column, int row) override { keys_.MoveTo(column, row); }
    void SetColor(int color) override { keys_.SetColor(color); }
    void Write(std::string_view text) override { keys_.Write(text); }
    int ReadKey() override { return keys_.ReadKey(); }
    bool KeyWaiting() override { return false; }
    bool ReadNumber(long& value) override { return keys_.ReadNumber(value); }

private:
    Console& keys_;
};

class UpdateRunTest : public testing::UpdateRunFixture {
protected:
    static void Fill(std::span<uint8_t> buffer, const Bytes& bytes) {
        ASSERT_LE(bytes.size(), buffer.size());
        std::ranges::copy(bytes, buffer.begin());
    }

    // Anything that changes a drive: a lock, a tray move, a firmware byte.
    bool Touched(size_t drive) {
        return std::ranges::any_of(Sent(drive), [](const sim::STranscriptEntry& e) {
            return e.direction == kDirOut || e.cdb[0] == 0x1E || e.cdb[0] == 0x1B || e.cdb[0] == 0xFA;
        });
    }
};

TEST_F(UpdateRunTest, APackageFileIsFlashedAndTheDriveTakesItsVersion) {
    LoadRig(kSampleDrive);
    const std::string package = File("sample.ytr", test::BuildV3(Mtk5Sample()));
    EXPECT_EQ(Run({package}, "y"), kExitFlashed);
    const std::string& screen = console_.Transcript();
    EXPECT_TRUE(screen.starts_with("<cls><cls><at 1,2>" + kDriveLine + kFirmwareLine + "Update the drive ?(Y/N)    y\n"))
        << screen;
    const std::string tail = " second(s).\n<at 1,20>========== Flash Completed Successfully==========\n"
                             "Please Restart the computer.\nYou have to restart os!\n";
    const size_t timing = screen.rfind("<at 1,18>Total flash time : ");
    ASSERT_NE(timing, std::string::npos) << screen;
    EXPECT_TRUE(screen.ends_with(tail)) << screen;
    const std::string seconds = screen.substr(timing + 28, screen.size() - tail.size() - timing - 28);
    EXPECT_TRUE(!seconds.empty() && seconds.find_first_not_of("0123456789") == std::string::npos) << seconds;
    EXPECT_EQ(InquiryRevision(0), "1.05");
    // The tray was emptied and locked before the first firmware byte went out.
    const auto& sent = Sent(0);
    const auto lock = std::ranges::find_if(sent, [](const auto& e) { return e.cdb[0] == 0x1E && e.cdb[4] == 1; });
    const auto write = std::ranges::find_if(sent, [](const auto& e) { return e.direction == kDirOut; });
    EXPECT_LT(lock, write);
}

TEST_F(UpdateRunTest, EveryEarlyEndingIs259AndLeavesTheDrivesAlone) {
    LoadRig(kSampleDrive + "[second]\nvendor = ZERV\nproduct = DVD-RW QLX-1600\nhardware_id = Q7\n");
    const std::string good = File("good.ytr", test::BuildV3(Mtk5Sample()));
    test::SV3Package badSum = Mtk5Sample();
    badSum.headerCheckSum = 0x0BAD;
    const std::string bad = File("bad.ytr", test::BuildV3(badSum));
    const std::string philips = File("raw.bin", test::BuildPhilipsFile(PhilipsSample()));
    const std::string prompt = "Please choose the working device and press Enter :\n";
    struct SCase {
        std::vector<std::string> arguments;
        std::string keys;
        std::string endsWith;
    } cases[] = {
        {{}, "", "YTR Error!\n"},
        {{"missing.ytr"}, "", "Get YTR File Length Fail !\n"},
        {{philips}, "", "Not Valid YTR !\n"},
        {{bad}, "y", "Check Sum Error!\n"},
        {{good}, "7\n", prompt + "0: ZERV    DVD-RW QLX-1600  1.02 050101\n1: ZERV    DVD-RW QLX-1600  1.00 260101\nInput error.\n"},
        {{good}, "1\nn", "Update the drive ?(Y/N)    "},
        {{good, "/n1"}, "N", "Update the drive ?(Y/N)    "},
        {{good, "/n5", "/y"}, "y", "No matched devices !\n"},
        {{good, "/n5"}, "n", "No matched devices !\nUpdate the drive ?(Y/N)    "},
        {{good, "/n5"}, "y", "No matched devices !\nUpdate the drive ?(Y/N)    y\n<cls>No matched devices !\n"},
    };
    for (const SCase& c : cases) {
        const std::string line = c.arguments.empty() ? "" : c.arguments.back();
        EXPECT_EQ(Run(c.arguments, c.keys), kExitDone) << line;
        EXPECT_TRUE(console_.Transcript().ends_with(c.endsWith)) << line << "\n" << console_.Transcript();
        EXPECT_FALSE(Touched(0) || Touched(1)) << line;
    }
    // Silent: the failure text is empty, and so is the screen but for it.
    EXPECT_EQ(Run({bad, "/s"}), kExitDone);
    EXPECT_EQ(console_.Text(), "\n");
}

TEST_F(UpdateRunTest, WithIdeFlashAMissingDriveIsStillUpdated) {
    LoadRig(kSampleDrive);
    const std::string good = File("good.ytr", test::BuildV3(Mtk5Sample()));
    EXPECT_EQ(Run({good, "/n5", "/i"}, "yy"), kExitDone);
    const std::string& screen = console_.Transcript();
    EXPECT_NE(screen.find("No matched devices !\nUpdate the drive ?(Y/N)    y\n<cls><cls><at 1,2>"
                          "Drive to Update : No firmware device\n" + kFirmwareLine +
                          "Update the drive ?(Y/N)    y\n"),
              std::string::npos)
        << screen;
    // The register route has no drive 5 to reach: its refusal is the result.
    EXPECT_NE(screen.find("<at 1,20>"), std::string::npos) << screen;
    EXPECT_FALSE(Touched(0));
}

TEST_F(UpdateRunTest, AZipArchiveGivesItsLastPackageAndLeavesNoTemporaryFile) {
    LoadRig(kSampleDrive);
    const Bytes first = test::BuildV3(OtherModel("ZERV    DVD-RW QLX-1600 ", "1.03"));
    const std::string zip = "two.zip";
    WriteZip(zip, {{"first.ytr", first}, {"second.ytr", test::BuildV3(Mtk5Sample())}});
    EXPECT_EQ(Run({zip}, "n"), kExitDone);
    EXPECT_NE(console_.Transcript().find(kFirmwareLine), std::string::npos) << console_.Transcript();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

    const std::string empty = "empty.zip";
    WriteZip(empty, {});
    EXPECT_EQ(Run({empty}), kExitDone);
    EXPECT_EQ(console_.Transcript(), "<cls>Not Valid YTR !\n");
}

TEST_F(UpdateRunTest, APhilipsImageInAnArchiveIsDownloaded) {
    LoadRig(kSampleDrive);
    const test::SPhilipsFile raw = PhilipsSample();
    const std::string zip = "raw.zip";
    WriteZip(zip, {{"raw.bin", test::BuildPhilipsFile(raw)}});
    EXPECT_EQ(Run({zip}, "y"), kExitFlashed);
    const std::string& screen = console_.Transcript();
    EXPECT_NE(screen.find(kDriveLine + "New Firmware    : ZERV    QLX-2209K\nUpdate the drive ?(Y/N)    y\n"
                                       "Please wait for at least 4 minutes!\n"),
              std::string::npos)
        << screen;
    const Bytes& taken = Drive(0).DownloadedImage();
    ASSERT_GE(taken.size(), raw.image.size());
    EXPECT_TRUE(std::equal(raw.image.begin(), raw.image.end(), taken.begin()));
    EXPECT_EQ(Drive(0).DownloadB(), 0x1234);
    EXPECT_EQ(Drive(0).DownloadC(), 0xABCD);
}

TEST_F(UpdateRunTest, SilentPrintsOnlyTheRestartLine) {
    LoadRig(kSampleDrive);
    UseSettings(1);
    Fill(EmbeddedBuffer(BufferId::Cvt), test::WithLengthPrefix(test::BuildPhilipsFile(PhilipsSample())));
    EXPECT_EQ(Run({"/s"}), kExitFlashed);
    EXPECT_EQ(console_.Text(), "You have to restart os!\n");
}

TEST_F(UpdateRunTest, AFlashOverMidnightCountsIntoTheNextDay) {
    LoadRig(kSampleDrive);
    MidnightClock midnight(clock_, 23 * 3600 + 59 * 60 + 50, 70);
    SetClock(&midnight);
    const std::string package = File("sample.ytr", test::BuildV3(Mtk5Sample()));
    Drive(0).InjectFault({sim::SFault::EKind::Opcode, 0, 0x3B, {0x04, 0x08, 0x00}});
    EXPECT_EQ(Run({package, "/y"}), kExitDone);
    EXPECT_NE(console_.Transcript().find("<at 1,18>Total flash time : 80 second(s).\n<at 1,20>Write Buffer Fail !"),
              std::string::npos)
        << console_.Transcript();
    // A whole day passes midnight, not just the hour.
    MidnightClock slow(clock_, 23 * 3600, 30 * 60);
    SetClock(&slow);
    EXPECT_EQ(Run({package, "/y"}), kExitDone);
    EXPECT_NE(console_.Transcript().find("Total flash time : 5400 second(s).\n"), std::string::npos);
    SetClock(&clock_);
}

TEST_F(UpdateRunTest, TheUpdaterFlashesThePackageOfTheChosenDrive) {
    LoadRig(kSampleDrive + "[other]\nvendor = ZERV\nproduct = QLX-3301\nrevision = 3.00\nhardware_id = Q7\n");
    UseSettings(1);
    const Bytes other = test::BuildV3(OtherModel("ZERV    QLX-3301        ", "3.10"));
    Fill(PackageBuffer(1), other);
    Fill(PackageBuffer(2), test::BuildV3(Mtk5Sample()));
    EXPECT_EQ(Run({}, "1\nn"), kExitDone);
    EXPECT_NE(console_.Transcript().find("New Firmware    : ZERV    QLX-3301         3.10 \nUpdate"), std::string::npos)
        << console_.Transcript();
    EXPECT_EQ(Run({}, "0\nn"), kExitDone);
    EXPECT_NE(console_.Transcript().find("New Firmware    : ZERV    DVD-RW QLX-1600  1.05 \nUpdate"),
              std::string::npos)
        << console_.Transcript();

    Fill(PackageBuffer(3), other);
    EXPECT_EQ(Run({}, "1\n"), kExitDone);
    EXPECT_TRUE(console_.Transcript().ends_with("The number of conforming YTR are more than one.\n"));

    // A Philips image in the CVT buffer wins over every package buffer.
    Fill(EmbeddedBuffer(BufferId::Cvt), test::WithLengthPrefix(test::BuildPhilipsFile(PhilipsSample())));
    EXPECT_EQ(Run({}, "0\nn"), kExitDone);
    EXPECT_NE(console_.Transcript().find("New Firmware    : ZERV    QLX-2209K\n"), std::string::npos);
}

TEST_F(UpdateRunTest, TheTrayMustBeEmptiedInEveryMode) {
    LoadRig(kSampleDrive + "disc = yes\n");
    const std::string package = File("sample.ytr", test::BuildV3(Mtk5Sample()));
    for (const char* mode : {"/y", "/s"}) {
        EXPECT_EQ(Run({package, mode}, "n"), kExitDone);
        EXPECT_NE(console_.Text().find("Please remove your disc from the tray and press Y to continue !"),
                  std::string::npos)
            << mode << console_.Transcript();
        EXPECT_FALSE(std::ranges::any_of(Sent(0), [](const auto& e) { return e.direction == kDirOut; }));
    }
}

// The ASPI machines: the drive's auto-insert notification must be off.
class Windows98RunTest : public UpdateRunTest {
protected:
    void SetUp() override {
        UpdateRunTest::SetUp();
        std::string error;
        auto rig = sim::ParseRig(kSampleDrive, "win98", error);
        ASSERT_TRUE(rig.has_value()) << error;
        rig_ = std::move(*rig);
        ResetDriveAccessForTest(MakeVirtualRoute({rig_.drives[0].get()}, EVirtualPlatform::Win98), false);
        ASSERT_FALSE(UsesPassThrough());
        SetRegistry(&registry_);
        UseSettings(1);
        Fill(EmbeddedBuffer(BufferId::Cvt), test::WithLengthPrefix(test::BuildPhilipsFile(PhilipsSample())));
    }
    void TearDown() override {
        SetRegistry(nullptr);
        UpdateRunTest::TearDown();
    }
    void Notification(uint8_t value) {
        const std::string key = DriveKeyPath("ZERV    DVD-RW QLX-1600 1.02") + "\\0001";
        registry_.SetString(key, "RevisionLevel", "1.02");
        registry_.SetValue(key, "AutoInsertNotification", {value});
    }
    uint8_t NotificationNow() { return ReadAutoInsert("ZERV    DVD-RW QLX-1600 1.02"); }

    MemoryRegistry registry_;
};

TEST_F(Windows98RunTest, ANotificationThatIsOnIsSwitchedOffAndTheRunEnds) {
    Notification(kAutoInsertOn);
    EXPECT_EQ(Run({}, "y"), kExitDone);
    EXPECT_TRUE(console_.Transcript().ends_with("Owing to the restriction of Windows 98/ME,\n"
                                                "the auto-insert notification must be shutdowned.\n"
                                                "It has been done, but you have to restart os and execute this "
                                                "tool again!\n"));
    EXPECT_EQ(NotificationNow(), kAutoInsertOff);
    EXPECT_FALSE(Touched(0));
}

TEST_F(Windows98RunTest, ANotificationThatIsOffIsOfferedBackAfterTheFlash) {
    Notification(kAutoInsertOff);
    PatientUser user(console_);
    SetConsole(&user);
    EXPECT_EQ(Run({}, "yy"), kExitFlashed);
    SetConsole(&console_);
    EXPECT_TRUE(console_.Transcript().ends_with(
        "You have to restart os!\nWould you like to activate the auto-insert notification ? (Y/N)\ny\n"))
        << console_.Transcript();
    EXPECT_EQ(NotificationNow(), kAutoInsertOn);

    // Silent switches it on without asking.
    Notification(kAutoInsertOff);
    EXPECT_EQ(Run({"/s"}), kExitFlashed);
    EXPECT_EQ(console_.Text(), "You have to restart os!\n");
    EXPECT_EQ(NotificationNow(), kAutoInsertOn);
}

}  // namespace
}  // namespace jv
