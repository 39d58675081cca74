#pragma once
// What the suites of the drive access object and its routes share: command
// blocks, an INQUIRY reply maker, the virtual clock for a scope, and the
// fixture that puts the platform's own route back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "drive/Winfunc.h"
#include "platform/Clock.h"
#include "sim/VirtualClock.h"

namespace jv {

inline constexpr uint8_t kInquiry[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kTestUnitReady[12] = {};

// Fills an INQUIRY reply for a CD/DVD device (or another type).
inline void FillInquiry(uint8_t* data, uint16_t length, const std::string& identity, uint8_t type = 5) {
    std::vector<uint8_t> reply(64, ' ');
    reply[0] = type;
    std::memcpy(reply.data() + 8, identity.data(), std::min<size_t>(identity.size(), 28));
    std::memcpy(data, reply.data(), std::min<size_t>(length, reply.size()));
}

class VirtualClockScope {
public:
    VirtualClockScope() { SetClock(&clock); }
    ~VirtualClockScope() { SetClock(nullptr); }
    VirtualClock clock;
};

// Puts the platform's own route back after a test replaced it.
class DriveAccessTest : public ::testing::Test {
protected:
    void TearDown() override { ResetDriveAccessForTest(); }
};

// --- the object above the route

}  // namespace jv
