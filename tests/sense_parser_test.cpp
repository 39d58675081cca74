// Sense data in both its formats, as every reader sees it.
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

TEST(SenseParser, FixedDescriptorShortAndGarbage) {
    using B = std::vector<uint8_t>;
    struct SCase {
        const char* what;
        B bytes;
        bool valid;
        uint8_t key, asc, ascq;
        bool progress;
        uint8_t block;
        uint16_t address;
    } cases[] = {
        {"fixed, flashing", {0x70, 0, 0x02, 0, 3, 0x80, 0x00, 10, 0, 0, 0, 0, 0x04, 0x08, 0, 0, 0, 0},
         true, 0x02, 0x04, 0x08, true, 3, 0x8000},
        {"fixed, deferred, VALID and ILI set", {0xF1, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01, 0, 0, 0, 0},
         true, 0x05, 0x24, 0x01, true, 0, 0},
        {"fixed, additional length 0: bytes 12-13 are not sense",
         {0x70, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0x01}, true, 0x05, 0, 0, true, 0, 0},
        {"fixed, cut after the key", {0x70, 0, 0x06}, true, 0x06, 0, 0, false, 0, 0},
        {"fixed, two bytes", {0x70, 0}, false, 0, 0, 0, false, 0, 0},
        {"descriptor with information", {0x72, 0x02, 0x04, 0x08, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 5,
                                         0x12, 0x34},
         true, 0x02, 0x04, 0x08, true, 5, 0x1234},
        {"descriptor, sense-key-specific descriptor first",
         {0x73, 0x02, 0x04, 0x07, 0, 0, 0, 20, 0x02, 0x06, 0, 0, 0x80, 0x40, 0, 0, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0,
          2, 0xAB, 0xCD},
         true, 0x02, 0x04, 0x07, true, 2, 0xABCD},
        {"descriptor, header only", {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0}, true, 0x05, 0x20, 0x00, false, 0, 0},
        {"descriptor, information cut at 18 bytes",
         {0x72, 0x02, 0x04, 0x08, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 5}, true, 0x02, 0x04, 0x08, false,
         0, 0},
        {"descriptor, additional length shorter than its descriptor",
         {0x72, 0x02, 0x04, 0x08, 0, 0, 0, 4, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 5, 0x12, 0x34}, true, 0x02, 0x04,
         0x08, false, 0, 0},
        {"descriptor, lengths claiming more than returned", {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 0xFF, 0x00, 0xFF, 0x80},
         true, 0x03, 0x11, 0x00, false, 0, 0},
        {"descriptor, two bytes", {0x72, 0x06}, true, 0x06, 0, 0, false, 0, 0},
        {"nothing", {}, false, 0, 0, 0, false, 0, 0},
        {"a cleared area", B(18, 0), false, 0, 0, 0, false, 0, 0},
        {"not sense data", {0x12, 0x05, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0}, false, 0, 0, 0, false, 0, 0},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        const SSense sense = ParseSense(c.bytes);
        EXPECT_EQ(sense.valid, c.valid);
        EXPECT_EQ(sense.key, c.key);
        EXPECT_EQ(sense.asc, c.asc);
        EXPECT_EQ(sense.ascq, c.ascq);
        EXPECT_EQ(sense.hasInformation, c.progress);
        if (c.progress) {
            EXPECT_EQ(sense.ProgressBlock(), c.block);
            EXPECT_EQ(sense.ProgressAddress(), c.address);
        }
    }
}

}  // namespace
}  // namespace jv
