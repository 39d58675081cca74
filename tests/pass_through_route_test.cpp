// The NT pass-through route: its drive-letter scan and when it opens a device.
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

class FakeNtKernel final : public PassThroughApi {
public:
    std::map<char, uint32_t> letters;  // drive type by letter
    std::set<char> unopenable;
    std::vector<char> typeAsked;
    std::vector<std::string> log;  // "open E", "close E"
    std::map<Handle, char> handles;
    Handle next = 40;
    bool timeOut = false;

    uint32_t DriveType(const char* root) override {
        EXPECT_EQ(std::string(root + 1), ":\\");
        typeAsked.push_back(root[0]);
        auto it = letters.find(root[0]);
        return it == letters.end() ? 1 : it->second;
    }
    Handle Open(const char* path) override {
        EXPECT_EQ(std::string(path, 4), "\\\\.\\");
        const char letter = path[4];
        log.push_back(std::string("open ") + letter);
        if (unopenable.count(letter)) return kInvalidHandle;
        handles[next] = letter;
        return next++;
    }
    void Close(Handle handle) override {
        log.push_back(std::string("close ") + handles.at(handle));
        handles.erase(handle);
    }
    bool Ioctl(Handle handle, passthrough::SPassThroughBuffer& buffer, uint32_t& lastError) override {
        if (!handles.count(handle)) {
            lastError = 6;
            return false;
        }
        if (timeOut) {
            lastError = passthrough::kErrorSemTimeout;
            return false;
        }
        if (buffer.request.cdb[0] == 0x12) {
            std::string identity = std::string("DRIVE ") + handles[handle];
            identity.resize(24, ' ');
            identity += "9.99";
            // The request holds a 32-bit stand-in; the pointer it stands for
            // is the one AddressOf was given for this command.
            if (buffer.request.dataBuffer == 1 && data_)
                FillInquiry(data_, static_cast<uint16_t>(buffer.request.dataTransferLength), identity);
        }
        return true;
    }
    uint32_t AddressOf(void* pointer) override {
        data_ = static_cast<uint8_t*>(pointer);
        return pointer ? 1 : 0;
    }

private:
    uint8_t* data_ = nullptr;
};

TEST(DriveLetterScan, CdRomLettersAFromToYInOrderAndZIsNeverAsked) {
    auto api = std::make_unique<FakeNtKernel>();
    FakeNtKernel& kernel = *api;
    kernel.letters = {{'C', 3}, {'E', 5}, {'F', 5}, {'G', 5}, {'Z', 5}};
    kernel.unopenable = {'F'};
    PassThroughRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.ScanDriveLetters(table), 2);
    EXPECT_STREQ(table[0].devicePath, "\\\\.\\E:");
    EXPECT_STREQ(table[1].devicePath, "\\\\.\\G:");
    EXPECT_EQ(kernel.typeAsked.size(), 25u);
    EXPECT_EQ(kernel.typeAsked.front(), 'A');
    EXPECT_EQ(kernel.typeAsked.back(), 'Y');
    // Each open closes the device before it; the last one stays open.
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"open E", "close E", "open F", "open G"}));
}

TEST(DriveLetterScan, ReadsIdentityAndRevisionFromTheInquiry) {
    auto api = std::make_unique<FakeNtKernel>();
    api->letters = {{'D', 5}};
    PassThroughRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.Scan(table), 1);
    EXPECT_EQ(std::string(table[0].identity), "DRIVE D" + std::string(17, ' '));
    EXPECT_EQ(std::string(table[0].revision, 4), "9.99");
}

TEST_F(DriveAccessTest, PassThroughReopensOnlyWhenAnotherDriveIsAddressed) {
    auto api = std::make_unique<FakeNtKernel>();
    FakeNtKernel& kernel = *api;
    kernel.letters = {{'E', 5}, {'G', 5}};
    ResetDriveAccessForTest(std::make_unique<PassThroughRoute>(std::move(api)), true);
    // Scan: E, then G; start-up selects drive 0 again.
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"open E", "close E", "open G", "close G", "open E"}));
    kernel.log.clear();
    EXPECT_TRUE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(kernel.log.empty());
    EXPECT_TRUE(ExecuteOnDrive(1, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"close E", "open G"}));

    // A device that cannot be opened any more fails its commands.
    kernel.unopenable = {'E'};
    EXPECT_FALSE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    // A time-out without a status byte is no success.
    kernel.unopenable.clear();
    kernel.timeOut = true;
    EXPECT_FALSE(ExecuteOnDrive(1, kTestUnitReady, nullptr, 0, kDirNone));
}

}  // namespace
}  // namespace jv
