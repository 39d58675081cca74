// Packages flashed through the flash kernel into virtual drives that really
// take, check and program the image: what ends up in the drive's flash, who
// the drive says it is afterwards, and how each protocol ends when the drive
// misbehaves.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "DriveRigFixture.h"
#include "PackageBuilder.h"
#include "drive/Winfunc.h"
#include "flash/AtapiFlashTypes.h"
#include "flash/Flashknl.h"
#include "flash/Flashmcu.h"
#include "package/Firmware.h"
#include "platform/Process.h"

namespace jv {
namespace {

using test::Bytes;
using testing::Hex;

constexpr uint32_t k64K = 0x10000;

struct SProtocol {
    const char* name;
    uint8_t type;
    const char* controller;
    uint32_t size;     // image length
    uint32_t maxBank;  // bank stride of the package
};

// One package per protocol; the page protocols come once with pages and
// once bank by bank.
const SProtocol kProtocols[] = {
    {"MTK", kAtapiMtk, "mtk", 0x200000, 0x100000},
    {"MTK banks", kAtapiMtk, "mtk", 0x200000, k64K},
    {"ALI", kAtapiAli, "ali", 0x200000, 0x100000},
    {"MTK2", kAtapiMtk2, "mtk2", 0x200000, 0x100000},
    {"MTK3", kAtapiMtk3, "mtk3", 0x200000, 0x100000},
    {"MTK4", kAtapiMtk4, "mtk4", 0x200000, k64K},
    {"MTK5", kAtapiMtk5, "mtk5", 0x200000, 0x100000},
    {"MTK6", kAtapiMtk6, "mtk6", 0x200000, k64K},
    {"MTK7", kAtapiMtk7, "mtk7", 0x20000, k64K},
};

test::SInfoBlock NewFirmware() {
    test::SInfoBlock info;
    info.modelName = "ZERV    DVD-RW QLX-2209K";
    info.version = "2.10";
    info.hardwareId = "K9";
    info.dateCode = "261130";
    return info;
}

// Filler with a boot block and the new firmware's block in the first 64 KB.
// Bank by bank every bank keeps its last two bytes free for the 0x00 the
// host puts behind it; pages lose their last two bytes on the way, so a
// firmware meant for them keeps zeros there and its sum still matches.
Bytes FirmwareImage(const SProtocol& p, uint32_t seed) {
    Bytes image = test::FillerBytes(p.size, seed);
    test::SInfoBlock boot;
    boot.version = "BOOT";
    test::PutInfoBlock(image, 0x100, boot);
    test::PutInfoBlock(image, 0x8000, NewFirmware());
    for (uint32_t page = 0; page + k64K <= p.size; page += k64K) {
        image[page + k64K - 2] = 0;
        image[page + k64K - 1] = 0;
    }
    return image;
}

test::SV3Package PackageOf(const SProtocol& p, const Bytes& image) {
    test::SV3Package package;
    package.atapiFlashType = p.type;
    package.maxBankSize = p.maxBank;
    for (uint32_t at = 0; at < image.size(); at += p.maxBank) {
        const uint32_t size = std::min<uint32_t>(p.maxBank, static_cast<uint32_t>(image.size()) - at);
        // Bank by bank, a bank's last two bytes are not part of it.
        const uint32_t keep = p.maxBank == k64K ? size - 2 : size;
        package.banks.emplace_back(image.begin() + at, image.begin() + at + keep);
    }
    return package;
}

struct SLoaded {
    SYTRParameter parameter;
    Bytes image;
};

SLoaded Load(const test::SV3Package& package) {
    Bytes file = test::BuildV3(package);
    SLoaded loaded;
    loaded.image.assign(GetImageSize(file), 0);
    EXPECT_TRUE(LoadYtr(file, loaded.parameter, loaded.image));
    return loaded;
}

// The byte ranges each protocol carries to the drive, as its flash type's
// row says: the runs below hold them against what the drive programmed.
std::vector<std::pair<uint32_t, uint32_t>> SentRanges(const SProtocol& p, const SYTRParameter& parameter) {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const SOffsetRange& range : AtapiSentRanges(parameter, p.size)) {
        ranges.push_back({range.from, range.to - range.from});
    }
    return ranges;
}

class AtapiFlashTest : public testing::DriveRigTest {
protected:
    FlashResult Flash(SLoaded& loaded, bool updater = false, bool silent = false) {
        SFlashOptions options;
        options.atapiFlash = 1;
        options.silent = silent ? 1 : 0;
        return FlashImage(0, loaded.image, static_cast<uint32_t>(loaded.image.size()), loaded.parameter, options,
                          updater);
    }

    void LoadDrive(const SProtocol& p, const std::string& extra = {}) {
        LoadRig(std::string("[drive]\nvendor = ZERV\nproduct = DVD-RW QLX-2209K\nrevision = 1.00\ncontroller = ") +
                p.controller + "\nflash_size = 0x200000\nfeatures = 13\n" + extra);
    }

    size_t CountSent(uint8_t opcode, int subcode = -1) {
        size_t n = 0;
        for (const auto& e : Sent())
            if (e.cdb[0] == opcode && (subcode < 0 || e.cdb[5] == subcode)) ++n;
        return n;
    }
};

TEST_F(AtapiFlashTest, EveryProtocolLeavesExactlyWhatItSentAndTheNewIdentity) {
    for (const SProtocol& p : kProtocols) {
        SCOPED_TRACE(p.name);
        LoadDrive(p);
        Bytes image = FirmwareImage(p, p.type * 7u + p.maxBank);
        SLoaded loaded = Load(PackageOf(p, image));
        const Bytes sentFrom = loaded.image;  // before the bank transfer writes its zeros
        const Bytes factory(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());

        EndFlashWrite();
        ASSERT_EQ(Flash(loaded), std::nullopt);
        // Stopping the program from the first write on may cost the drive.
        EXPECT_TRUE(FlashWriteInProgress());
        EndFlashWrite();
        EXPECT_FALSE(Drive(0).Flashing());
        EXPECT_EQ(Drive(0).FlashCount(), 1u);

        // Sent bytes hold the image, everything else what the drive held.
        auto flash = Drive(0).Flash().Bytes();
        std::vector<bool> sent(flash.size(), false);
        for (auto [at, count] : SentRanges(p, loaded.parameter)) {
            for (uint32_t i = at; i < at + count; ++i) {
                sent[i] = true;
                const uint8_t expected = i < sentFrom.size() ? loaded.image[i] : 0;
                ASSERT_EQ(flash[i], expected) << "at " << i;
            }
        }
        size_t kept = 0;
        for (size_t i = 0; i < flash.size(); ++i) {
            if (!sent[i]) {
                ASSERT_EQ(flash[i], factory[i]) << "at " << i;
                ++kept;
            }
        }
        if (p.type != kAtapiMtk5 && p.type != kAtapiMtk6 && p.type != kAtapiMtk7 && p.type != kAtapiAli &&
            p.maxBank != k64K) {
            // 32 pages lose their last two bytes each.
            EXPECT_EQ(kept, 64u);
        }

        EXPECT_EQ(InquiryRevision(0), "2.10");
        EXPECT_EQ(InquiryDateCode(0), "261130");
        EXPECT_EQ(InquiryModelName(0), "ZERV    DVD-RW QLX-2209K");
        EXPECT_EQ(ReadHardwareId(0), "K9");
        // Running its new firmware: no disc, but nothing in progress.
        EXPECT_FALSE(TestUnitReady(0));
        EXPECT_EQ(Drive(0).LastSense().bytes[12], 0x3A);
    }
}

TEST_F(AtapiFlashTest, StartFlashKeepsTheDriveBusyWithBankAndAddressUntilItRestarts) {
    const SProtocol& p = kProtocols[4];  // MTK3: it polls and shows the bank
    LoadDrive(p, "block_program_ms = 2000\nreboot_ms = 5000\n");
    Bytes image = FirmwareImage(p, 3);
    SLoaded loaded = Load(PackageOf(p, image));
    SFlashOptions options;
    options.atapiFlash = 1;
    options.immediateAtapi = 1;
    ASSERT_EQ(FlashImage(0, loaded.image, p.size, loaded.parameter, options, false), std::nullopt);

    // 32 blocks of 2 s each and the restart: the polls saw the drive work
    // through them, and the start was the command that set it going.
    const auto& sent = Sent();
    size_t start = 0;
    while (start < sent.size() && !(sent[start].cdb[5] == 0xA0 && sent[start].length == 128)) ++start;
    ASSERT_EQ(start, 33u);
    ASSERT_GT(sent.size(), start + 1);
    EXPECT_EQ(sent[start + 1].scsiStatus, 2);  // busy right away
    EXPECT_GE(Elapsed(), 32u * 2000 + 5000);
    EXPECT_NE(console_.Transcript().find("Flash Bank: 31\n"), std::string::npos);
    EXPECT_NE(console_.Transcript().find("Flash Bank: 0\n"), std::string::npos);
    EXPECT_EQ(Drive(0).RebootCount(), 1u);
    EXPECT_EQ(InquiryRevision(0), "2.10");
}

TEST_F(AtapiFlashTest, DriveSenseWhileFlashingCarriesBankAndAddress) {
    const SProtocol& p = kProtocols[0];
    LoadDrive(p, "block_program_ms = 1000\n");
    sim::VirtualDrive& drive = Drive(0);
    Bytes page(0xFFFE, 0x11);
    std::array<uint8_t, 12> write{0x5A, 0, 0x38, 0x5A, 0x45, 0xA0, 0x05, 0x01, 0xFF, 0xFE};
    ASSERT_EQ(drive.Execute(write.data(), 0x10, page.data(), 0xFFFE).scsiStatus, 0);
    write[7] = 0x00;
    ASSERT_EQ(drive.Execute(write.data(), 0x10, page.data(), 0xFFFE).scsiStatus, 0);
    uint16_t sum = static_cast<uint16_t>(2u * 0xFFFE * 0x11);
    Bytes head(128, 0x11);
    std::array<uint8_t, 12> start{0x5A, 0,    0x38, 0x5A, 0x45, 0xA0, 0x04, 0xE2, 0x00, 0x80,
                                  static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
    ASSERT_EQ(drive.Execute(start.data(), 0x10, head.data(), 128).scsiStatus, 0);
    clock_.SleepMs(1500);  // half way through block 1
    std::array<uint8_t, 12> tur{};
    EXPECT_EQ(drive.Execute(tur.data(), 0, nullptr, 0).scsiStatus, 2);
    const auto& s = drive.LastSense().bytes;
    EXPECT_EQ(s[2], 0x02);
    EXPECT_EQ(s[12], 0x04);
    EXPECT_EQ(s[13], 0x08);
    EXPECT_EQ(s[4], 1);
    EXPECT_EQ(s[5] << 8 | s[6], 0x8000);
    // Busy flashing, it takes nothing else.
    EXPECT_EQ(drive.Execute(write.data(), 0x10, page.data(), 0xFFFE).scsiStatus, 2);
    EXPECT_EQ(drive.Flash().Read(0x10000), 0x11);
    EXPECT_EQ(drive.Flash().Read(0x1FFFE), 0xFF);
}

TEST_F(AtapiFlashTest, DriveKeepsItsFirmwareWhenCountOrSumDisagree) {
    const SProtocol& p = kProtocols[0];
    LoadDrive(p);
    sim::VirtualDrive& drive = Drive(0);
    const Bytes factory(drive.Flash().Bytes().begin(), drive.Flash().Bytes().end());
    Bytes page(0x100, 0x22);
    std::array<uint8_t, 12> write{0x5A, 0, 0x38, 0x5A, 0x45, 0xA0, 0x05, 0x00, 0x01, 0x00};
    auto start = [&](uint8_t count, uint16_t sum) {
        std::array<uint8_t, 12> cdb{0x5A, 0,    0x38, 0x5A, 0x45, 0xA0, 0x04, count, 0x00, 0x80,
                                    static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
        return drive.Execute(cdb.data(), 0x10, page.data(), 128).scsiStatus;
    };
    const uint16_t sum = 0x100 * 0x22;
    ASSERT_EQ(drive.Execute(write.data(), 0x10, page.data(), 0x100).scsiStatus, 0);
    EXPECT_EQ(start(0xE2, sum), 2);  // two pages claimed, one sent
    EXPECT_EQ(drive.LastSense().bytes[12], 0x24);
    ASSERT_EQ(drive.Execute(write.data(), 0x10, page.data(), 0x100).scsiStatus, 0);
    EXPECT_EQ(start(0xE1, static_cast<uint16_t>(sum + 1)), 2);
    EXPECT_TRUE(std::ranges::equal(drive.Flash().Bytes(), factory));
    EXPECT_FALSE(drive.Flashing());
    ASSERT_EQ(drive.Execute(write.data(), 0x10, page.data(), 0x100).scsiStatus, 0);
    EXPECT_EQ(start(0xE1, sum), 0);
    EXPECT_EQ(drive.Flash().Read(0xFF), 0x22);
    EXPECT_TRUE(drive.Flashing());
}

TEST_F(AtapiFlashTest, ControllersRefuseOtherFamiliesCommands) {
    struct SCase {
        const char* controller;
        std::array<uint8_t, 12> cdb;
        uint8_t asc;
    };
    const SCase cases[] = {
        {"mtk", {0xFD, 0x07, 0x42, 0x45, 0x4E, 0x51, 0, 0, 0, 0, 1, 1}, 0x20},
        {"mtk", {0x3B, 0x06, 0, 0, 0, 0, 0, 0x40, 0}, 0x20},
        {"mtk", {0x5A, 0, 0x38, 0x5A, 0x45, 0xA2, 0, 0, 0, 0, 0, 0x80}, 0x24},
        {"ali", {0x5A, 0, 0x38, 0x5A, 0x45, 0xA0, 0x05, 0, 0x40, 0}, 0x24},
        {"mtk7", {0x3B, 0x01, 0x01}, 0x24},
        {"mtk5", {0x5A, 0, 0x38, 0x5A, 0x45, 0xA0, 0x05, 0, 0x40, 0}, 0x24},
        {"philips", {0x3B, 0x06, 0, 0, 0, 0, 0, 0x40, 0}, 0x20},
        {"philips", {0x5A, 0, 0x38, 0x5A, 0x45, 0x11}, 0x24},
        {"mtk3", {0xFA, 0x34, 0x12, 0xCD, 0xAB, 0, 0x01, 0x34, 0x12, 0xCD, 0xAB, 1}, 0x20},
    };
    Bytes data(0x4000, 0);
    for (const SCase& c : cases) {
        SCOPED_TRACE(std::string(c.controller) + " " + Hex(c.cdb));
        LoadRig(std::string("[d]\ncontroller = ") + c.controller + "\n");
        EXPECT_EQ(Drive(0).Execute(c.cdb.data(), 0x10, data.data(), 0x4000).scsiStatus, 2);
        EXPECT_EQ(Drive(0).LastSense().bytes[2], 0x05);
        EXPECT_EQ(Drive(0).LastSense().bytes[12], c.asc);
    }
    // Reading the flash back is common to every MTK-derived firmware.
    LoadRig("[d]\ncontroller = ali\n");
    std::array<uint8_t, 12> read{0x5A, 0, 0x38, 0x5A, 0x45, 0x11, 0x01, 0x00, 0, 0x01};
    EXPECT_EQ(Drive(0).Execute(read.data(), 0x08, data.data(), 256).scsiStatus, 0);
    EXPECT_EQ(data[0], 0xFF);
}


// Smaller packages for the runs that repeat a flash many times.
SProtocol Small(const SProtocol& p) {
    SProtocol small = p;
    if (p.type != kAtapiMtk7) small.size = 0x40000;
    if (small.maxBank > small.size) small.maxBank = small.size;
    return small;
}

struct SFailureTexts {
    std::set<std::string> numbered, descriptive;
};

// What each protocol may end with when the drive fails it somewhere.
SFailureTexts TextsOf(uint8_t type) {
    const std::string progress = "Flash progress TimeOut !\n";
    switch (type) {
    case kAtapiAli:
        return {{"Flash Fail ! (1)\n"}, {"Write Buffer Fail !\n", "Wait Drive Ready TimeOut !\n"}};
    case kAtapiMtk5:
        return {{"Flash Fail ! (1)\n", "Flash Fail ! (3)\n", "Flash Fail ! (4)\n", "Flash Fail ! (5)\n",
                 "Flash Fail ! (6)\n", "Flash Fail ! (7)\n", "Flash Fail ! (8)\n", progress},
                {"Write Buffer Fail !\n", "Wait Drive Ready TimeOut !\n", "Trigger Fail !\n",
                 "SET F/W CheckSum Error !\n", "Get CheckSum Error !\n", "CheckSum Error !\n", "Flash Error !\n",
                 progress}};
    case kAtapiMtk6:
        return {{"Flash Fail ! (1)\n", "Flash Fail ! (4)\n", progress},
                {"Write Buffer Fail !\n", "Trigger Fail !\n", progress}};
    default:
        return {{"Flash Fail ! (1)\n", "Flash Fail ! (3)\n", progress, "Kernel does not match."},
                {"Write Buffer Fail !\n", "Wait Drive Ready TimeOut !\n", progress, "Kernel does not match."}};
    }
}

// Commands a protocol may lose and still flash: a poll it asks again, a
// query it can do without, and an MTK5 chunk, which it sends again. Nothing
// else that carries data to the drive may be lost on the way to a success.
bool Recoverable(const SProtocol& p, const sim::STranscriptEntry& e) {
    if (e.direction != kDirOut) return true;
    return p.type == kAtapiMtk5 && e.cdb[0] == 0x3B && e.cdb[1] == 0x06;
}

std::string RevisionOf(const sim::VirtualDrive& drive) {
    const auto data = drive.InquiryData();
    return std::string(data.begin() + 32, data.begin() + 36);
}

bool FlashHolds(std::span<const uint8_t> flash, const SProtocol& p, const SLoaded& loaded) {
    for (auto [at, count] : SentRanges(p, loaded.parameter))
        for (uint32_t i = at; i < at + count; ++i)
            if (flash[i] != (i < loaded.image.size() ? loaded.image[i] : 0)) return false;
    return true;
}

TEST_F(AtapiFlashTest, ARefusalAtEveryCommandEndsWithTheProtocolsTextOrTheNewFirmware) {
    for (bool updater : {false, true}) {
        for (const SProtocol& full : kProtocols) {
            const SProtocol p = Small(full);
            SCOPED_TRACE(std::string(p.name) + (updater ? " numbered" : " descriptive"));
            const SFailureTexts texts = TextsOf(p.type);
            const auto& allowed = updater ? texts.numbered : texts.descriptive;
            Bytes image = FirmwareImage(p, 11);

            LoadDrive(p, "block_program_ms = 300\nreboot_ms = 1000\n");
            const uint32_t before = Drive(0).CommandCount();
            SLoaded clean = Load(PackageOf(p, image));
            ASSERT_EQ(Flash(clean, updater, true), std::nullopt);
            const uint32_t commands = Drive(0).CommandCount() - before;
            ASSERT_GT(commands, 3u);

            for (uint32_t k = 1; k <= commands; ++k) {
                LoadDrive(p, "block_program_ms = 300\nreboot_ms = 1000\n");
                Drive(0).InjectFault({sim::SFault::EKind::NthCommand, Drive(0).CommandCount() + k});
                SLoaded loaded = Load(PackageOf(p, image));
                FlashResult result = Flash(loaded, updater, true);
                ASSERT_LT(Elapsed(), 20u * 60 * 1000) << "command " << k;
                const auto& refused = Sent().at(k - 1);
                if (result) {
                    EXPECT_TRUE(allowed.count(*result)) << "command " << k << ": " << *result;
                } else {
                    // Success only with the new firmware in place, and only
                    // after losing a command the protocol can do without.
                    EXPECT_TRUE(FlashHolds(Drive(0).Flash().Bytes(), p, loaded))
                        << "command " << k << " " << Hex(refused.cdb) << " refused, success without the image";
                    EXPECT_EQ(RevisionOf(Drive(0)), "2.10") << "command " << k;
                    EXPECT_TRUE(Recoverable(p, refused)) << "command " << k << " " << Hex(refused.cdb);
                }
            }
        }
    }
}

// The commands whose answer a protocol does not wait for: refused in the
// drive's own words, the flash fails and the old firmware stays; taken but
// never answered (the drive busy programming), the flash goes on to the new
// firmware.
TEST_F(AtapiFlashTest, AStartModeSwitchSaveOrPageHalfRefusedFailsAndHeldGoesOn) {
    using Entry = sim::STranscriptEntry;
    struct SCase {
        const char* what;
        const SProtocol& protocol;
        bool (*refused)(const Entry&);
    } cases[] = {
        {"StartFlash", kProtocols[0], [](const Entry& e) { return e.cdb[5] == 0xA0 && e.length == 128; }},
        {"StartFlash of MTK6", kProtocols[7], [](const Entry& e) { return e.cdb[5] == 0xA0 && e.length == 128; }},
        {"first half of an MTK6 page",
         kProtocols[7], [](const Entry& e) { return e.cdb[5] == 0xA0 && e.cdb[7] == 1 && e.cdb[8] == 0; }},
        {"last ALI page", kProtocols[2], [](const Entry& e) { return e.cdb[0] == 0xFD && e.cdb[10] == e.cdb[11]; }},
        {"WRITE BUFFER mode 1 on", kProtocols[6], [](const Entry& e) { return e.cdb[1] == 0x01 && e.cdb[2] == 1; }},
        {"WRITE BUFFER mode 1 off", kProtocols[6], [](const Entry& e) { return e.cdb[1] == 0x01 && e.cdb[2] == 0; }},
        {"MTK5 save", kProtocols[6], [](const Entry& e) { return e.cdb[0] == 0x3B && e.cdb[1] == 0x07; }},
        {"MTK7 save of the lower block",
         kProtocols[8], [](const Entry& e) { return e.cdb[0] == 0x3B && e.cdb[1] == 0x07 && e.cdb[3] == 0; }},
    };
    for (const SCase& c : cases) {
        const SProtocol p = Small(c.protocol);
        const Bytes image = FirmwareImage(p, 13);
        LoadDrive(p);
        SLoaded clean = Load(PackageOf(p, image));
        ASSERT_EQ(Flash(clean, false, true), std::nullopt) << c.what;
        const auto& sent = Sent();
        const auto hit = std::find_if(sent.begin(), sent.end(), c.refused);
        ASSERT_NE(hit, sent.end()) << c.what;
        const auto nth = static_cast<uint32_t>(hit - sent.begin()) + 1;
        for (bool updater : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (updater ? " numbered" : " descriptive"));
            LoadDrive(p);
            Drive(0).InjectFault({sim::SFault::EKind::NthCommand, Drive(0).CommandCount() + nth});
            SLoaded loaded = Load(PackageOf(p, image));
            EXPECT_EQ(Flash(loaded, updater, true), updater ? "Flash Fail ! (1)\n" : "Write Buffer Fail !\n");
            ASSERT_EQ(Sent().size(), nth) << "nothing is sent after the refusal";
            EXPECT_EQ(Drive(0).FlashCount(), 0u);
            EXPECT_EQ(RevisionOf(Drive(0)), "1.00");
        }
        SCOPED_TRACE(std::string(c.what) + " held");
        LoadDrive(p);
        sim::SFault held{sim::SFault::EKind::NthCommand, Drive(0).CommandCount() + nth};
        held.held = true;
        Drive(0).InjectFault(held);
        SLoaded loaded = Load(PackageOf(p, image));
        EXPECT_EQ(Flash(loaded, false, true), std::nullopt);
        EXPECT_TRUE(Sent().at(nth - 1).timedOut);
        EXPECT_EQ(RevisionOf(Drive(0)), "2.10");
    }
}

TEST_F(AtapiFlashTest, ADriveThatNeverFinishesEndsEveryProtocolWithItsTimeOut) {
    const std::map<uint8_t, std::pair<const char*, const char*>> expected = {
        {kAtapiMtk, {"Flash Fail ! (3)\n", "Wait Drive Ready TimeOut !\n"}},
        {kAtapiAli, {"Flash Fail ! (1)\n", "Wait Drive Ready TimeOut !\n"}},
        {kAtapiMtk2, {"Flash Fail ! (3)\n", "Wait Drive Ready TimeOut !\n"}},
        {kAtapiMtk3, {"Flash progress TimeOut !\n", "Flash progress TimeOut !\n"}},
        {kAtapiMtk4, {"Flash Fail ! (3)\n", "Wait Drive Ready TimeOut !\n"}},
        {kAtapiMtk5, {"Flash progress TimeOut !\n", "Flash progress TimeOut !\n"}},
        {kAtapiMtk6, {"Flash progress TimeOut !\n", "Flash progress TimeOut !\n"}},
        {kAtapiMtk7, {"Flash Fail ! (3)\n", "Wait Drive Ready TimeOut !\n"}},
    };
    for (bool updater : {false, true}) {
        for (const SProtocol& full : kProtocols) {
            const SProtocol p = Small(full);
            SCOPED_TRACE(std::string(p.name) + (updater ? " numbered" : " descriptive"));
            LoadDrive(p, "flash_stays_busy = yes\n");
            SLoaded loaded = Load(PackageOf(p, FirmwareImage(p, 5)));
            FlashResult result = Flash(loaded, updater);
            ASSERT_TRUE(result);
            const auto& texts = expected.at(p.type);
            EXPECT_EQ(*result, updater ? texts.first : texts.second);
            EXPECT_TRUE(Drive(0).Flashing());
            EXPECT_LE(Elapsed(), 5u * 60 * 1000);
        }
    }
}

TEST_F(AtapiFlashTest, PowerLostHalfWayLeavesAHalfWrittenFlashAndABootDrive) {
    const std::map<uint8_t, const char*> expected = {
        {kAtapiMtk, "Wait Drive Ready TimeOut !\n"},  {kAtapiAli, "Wait Drive Ready TimeOut !\n"},
        {kAtapiMtk2, "Wait Drive Ready TimeOut !\n"}, {kAtapiMtk3, "Flash progress TimeOut !\n"},
        {kAtapiMtk4, "Wait Drive Ready TimeOut !\n"}, {kAtapiMtk5, "Trigger Fail !\n"},
        {kAtapiMtk6, "Trigger Fail !\n"},             {kAtapiMtk7, "Wait Drive Ready TimeOut !\n"},
    };
    for (const SProtocol& full : kProtocols) {
        const SProtocol p = Small(full);
        SCOPED_TRACE(p.name);
        LoadDrive(p, "power_loss_after = 0x18000\n");
        SLoaded loaded = Load(PackageOf(p, FirmwareImage(p, 9)));
        FlashResult result = Flash(loaded);
        ASSERT_TRUE(result);
        EXPECT_EQ(*result, expected.at(p.type));
        EXPECT_EQ(Drive(0).ProgrammedBytes(), 0x18000u);
        EXPECT_TRUE(Drive(0).InBootCode());
        EXPECT_EQ(InquiryRevision(0), "BOOT");

        // Exactly the programmed bytes are new; the block the drive boots
        // from was to be written last and is still erased.
        auto flash = Drive(0).Flash().Bytes();
        size_t programmed = 0;
        for (auto [at, count] : SentRanges(p, loaded.parameter)) {
            for (uint32_t i = at; i < at + count; ++i) {
                if (flash[i] != 0xFF) {
                    ASSERT_EQ(flash[i], i < loaded.image.size() ? loaded.image[i] : 0) << i;
                    ++programmed;
                }
            }
        }
        EXPECT_GT(programmed, 0x10000u);
        EXPECT_LE(programmed, 0x18000u);
        EXPECT_EQ(flash[0x8000], 0xFF);
    }
}

TEST_F(AtapiFlashTest, TheFlashFileCarriesTheDriveIntoTheNextRun) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("jorvane-flash-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                      std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "drive.bin").string();
    const SProtocol p = Small(kProtocols[3]);  // MTK2
    Bytes image = FirmwareImage(p, 21);

    // Power fails: the file keeps the half-written flash, so the next run
    // meets a drive still in its boot code.
    LoadDrive(p, "flash_file = " + file + "\npower_loss_after = 0x20000\n");
    SLoaded first = Load(PackageOf(p, image));
    ASSERT_TRUE(Flash(first));
    LoadDrive(p, "flash_file = " + file + "\n");
    EXPECT_TRUE(Drive(0).InBootCode());
    EXPECT_EQ(InquiryRevision(0), "BOOT");
    EXPECT_EQ(Drive(0).Flash().Read(0x20000 + 5), image[0x20000 + 5]);

    // The boot code takes a new flash; the run after that meets the new firmware.
    SLoaded second = Load(PackageOf(p, image));
    ASSERT_EQ(Flash(second), std::nullopt);
    EXPECT_EQ(InquiryRevision(0), "2.10");
    LoadDrive(p, "flash_file = " + file + "\n");  // the rig says 1.00
    EXPECT_FALSE(Drive(0).InBootCode());
    EXPECT_EQ(InquiryRevision(0), "2.10");
    EXPECT_EQ(InquiryModelName(0), "ZERV    DVD-RW QLX-2209K");
    EXPECT_TRUE(FlashHolds(Drive(0).Flash().Bytes(), p, second));
    std::filesystem::remove_all(dir);
}


TEST_F(AtapiFlashTest, Mtk5WritesTheUpperMegabyteFirstAndReportsItsBlocks) {
    const SProtocol& p = kProtocols[6];
    LoadDrive(p);
    SLoaded loaded = Load(PackageOf(p, FirmwareImage(p, 31)));
    ASSERT_EQ(Flash(loaded), std::nullopt);
    const std::string& screen = console_.Transcript();
    // Sense byte 4 = 24 in the first pass; 8 in the second.
    EXPECT_NE(screen.find("Flash Progress:  25%\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Flash Progress:  75%\n"), std::string::npos);
    EXPECT_NE(screen.find("Flash Progress: 100%\n"), std::string::npos);
    // The drive took the sums it was given and reports them back.
    EXPECT_EQ(Drive(0).LastChecksumA(), loaded.parameter.HeaderCheckSum);
    EXPECT_EQ(Drive(0).LastChecksumB(), CalcFixDataCheckSum(loaded.image, loaded.parameter));
    // One save per megabyte, the upper one flagged.
    std::vector<std::string> saves;
    for (const auto& e : Sent())
        if (e.cdb[0] == 0x3B && e.cdb[1] == 0x07) saves.push_back(Hex(e.cdb));
    EXPECT_EQ(saves, (std::vector<std::string>{"3B 07 00 10 00 00 10 00 00 00 00 00",
                                               "3B 07 00 00 00 00 10 00 00 00 00 00"}));
}

TEST_F(AtapiFlashTest, Mtk5RetriesADriveStuckInBootCodeAndChecksTheSum) {
    const SProtocol p = Small(kProtocols[6]);
    LoadDrive(p, "boot_attempts = 3\n");
    SLoaded stuck = Load(PackageOf(p, FirmwareImage(p, 41)));
    EXPECT_EQ(Flash(stuck, true), "Flash Fail ! (8)\n");
    EXPECT_EQ(Drive(0).FlashCount(), 3u);
    EXPECT_NE(console_.Transcript().find("retrying flash 3 time(s)\n"), std::string::npos);

    LoadDrive(p, "boot_attempts = 1\n");
    SLoaded once = Load(PackageOf(p, FirmwareImage(p, 41)));
    EXPECT_EQ(Flash(once), std::nullopt);
    EXPECT_EQ(Drive(0).FlashCount(), 2u);
    EXPECT_NE(console_.Text().find("retrying flash 2 time(s)\n"), std::string::npos);
    EXPECT_EQ(InquiryRevision(0), "2.10");

    LoadDrive(p, "wrong_checksum = yes\n");
    SLoaded miscounted = Load(PackageOf(p, FirmwareImage(p, 41)));
    EXPECT_EQ(Flash(miscounted), "CheckSum Error !\n");
}

TEST_F(AtapiFlashTest, TheKernelIsReadFromTheFlashAndRewrittenOnlyWhenItDiffers) {
    const SProtocol p = Small(kProtocols[3]);  // MTK2
    LoadDrive(p, "kernel_report = 0, 0x1000, 0x0181\n");
    Bytes image = FirmwareImage(p, 51);
    SLoaded first = Load(PackageOf(p, image));
    ASSERT_EQ(Flash(first), std::nullopt);
    EXPECT_EQ(CountSent(0x5A, 0x11), 2u);
    EXPECT_EQ(CountSent(0x5A, 0xA2), 4u);

    // The drive now holds that kernel: read back, found current, left alone.
    Drive(0).ClearTranscript();
    SLoaded again = Load(PackageOf(p, image));
    ASSERT_EQ(Flash(again), std::nullopt);
    EXPECT_EQ(CountSent(0x5A, 0x11), 2u);
    EXPECT_EQ(CountSent(0x5A, 0xA2), 0u);
    EXPECT_TRUE(FlashHolds(Drive(0).Flash().Bytes(), p, again));
}

TEST_F(AtapiFlashTest, AliPagesAreCheckedAgainstTheirSumsAndTheImageSum) {
    SProtocol p = kProtocols[2];
    p.size = 0x8100;
    p.maxBank = 0x8100;
    // The bytes past the last whole page count in the image sum but are
    // never sent: the drive cannot make the sums agree and keeps its firmware.
    LoadDrive(p);
    const Bytes factory(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
    Bytes image = test::FillerBytes(p.size, 61);
    test::PutInfoBlock(image, 0x100, NewFirmware());
    SLoaded tail = Load(PackageOf(p, image));
    EXPECT_EQ(Flash(tail), "Write Buffer Fail !\n");
    EXPECT_EQ(CountSent(0xFD), 2u);
    EXPECT_EQ(Sent().back().scsiStatus, 2);  // the last page, refused
    EXPECT_TRUE(std::ranges::equal(Drive(0).Flash().Bytes(), factory));
    EXPECT_EQ(Drive(0).FlashCount(), 0u);
    EXPECT_EQ(InquiryRevision(0), "1.00");

    // With nothing behind the last page the sums agree.
    std::fill(image.begin() + 0x8000, image.end(), 0);
    LoadDrive(p);
    SLoaded clean = Load(PackageOf(p, image));
    EXPECT_EQ(Flash(clean), std::nullopt);
    EXPECT_EQ(Drive(0).FlashCount(), 1u);
    EXPECT_EQ(InquiryRevision(0), "2.10");
    EXPECT_EQ(Drive(0).Flash().Read(0x7FFF), image[0x7FFF]);
    EXPECT_EQ(Drive(0).Flash().Read(0x8000), factory[0x8000]);
}


TEST(AtapiFlashRig, FlashKeysAreReadAndBadOnesNamed) {
    std::string error;
    auto rig = sim::ParseRig(
        "[d]\nController = MTK5\nFlashFile = d.bin\nflash_stays_busy = yes\nboot_attempts = 2\n"
        "wrong_checksum = on\npower_loss_after = 0x8000\nblock_program_ms = 250\nflash_start = Held\n"
        "flash_blank = yes\n",
        "/rigs/two.rig", error);
    ASSERT_TRUE(rig.has_value()) << error;
    const sim::SDriveConfig& c = rig->drives[0]->Config();
    EXPECT_EQ(c.controller, sim::EController::Mtk5);
    EXPECT_EQ(c.flashFile, "/rigs/d.bin");  // beside the rig file
    EXPECT_TRUE(c.flashStaysBusy);
    EXPECT_EQ(c.bootAttempts, 2u);
    EXPECT_TRUE(c.wrongChecksum);
    EXPECT_EQ(c.powerLossAfter, 0x8000);
    EXPECT_EQ(c.blockProgramMs, 250);
    EXPECT_EQ(c.flashStart, sim::EFlashStart::Held);
    EXPECT_TRUE(c.flashBlank);

    EXPECT_FALSE(sim::ParseRig("[d]\ncontroller = mtk9\n", "r", error).has_value());
    EXPECT_NE(error.find("r:2: controller"), std::string::npos) << error;
    EXPECT_FALSE(sim::ParseRig("[d]\npower_loss_after = -1\n", "r", error).has_value());
    EXPECT_FALSE(sim::ParseRig("[d]\nflash_start = late\n", "r", error).has_value());
}

}  // namespace
}  // namespace jv
