#include "trace/CommandNames.h"

#include <algorithm>
#include <span>

#include "drive/Winfunc.h"
#include "flash/Flashmcu.h"
#include "flash/FlashmcuIde.h"
#include "platform/Console.h"
#include "platform/Sense.h"
#include "platform/SenseText.h"

namespace jv::trace {

namespace {

using Cdb = std::array<uint8_t, 12>;

uint32_t Be16(const Cdb& c, size_t at) { return static_cast<uint32_t>(c[at] << 8 | c[at + 1]); }
uint32_t Be24(const Cdb& c, size_t at) { return static_cast<uint32_t>(c[at] << 16 | c[at + 1] << 8 | c[at + 2]); }
uint32_t Le16(const Cdb& c, size_t at) { return static_cast<uint32_t>(c[at] | c[at + 1] << 8); }

// A vendor command of this program: its template's bytes that no builder
// patches, and its name. The builders (Winfunc.cpp, Flashmcu.cpp) say which
// bytes carry arguments.
struct SVendorCommand {
    const CommandBlock* block;
    std::array<bool, 12> fixed;
    const char* name;
};

constexpr std::array<bool, 12> Fixed(std::initializer_list<int> argumentBytes) {
    std::array<bool, 12> fixed{};
    fixed.fill(true);
    for (int at : argumentBytes) fixed[static_cast<size_t>(at)] = false;
    return fixed;
}

// In the order they are tried: StartFlash before WriteFlashPage, whose
// template shares its first bytes.
const SVendorCommand kVendorCommands[] = {
    {&kCmdHardwareId, Fixed({}), "HardwareId"},
    {&kCmdBankNumber, Fixed({}), "BankNumber"},
    {&kCmdVendorData, Fixed({}), "VendorData"},
    {&kCmdQueryFeature, Fixed({}), "QueryFeature"},
    {&kCmdGetChecksum, Fixed({}), "GetChecksum"},
    {&kCmdSetChecksum, Fixed({7, 8, 9, 10}), "SetChecksum"},
    {&kCmdStartFlash, Fixed({6, 7, 10, 11}), "StartFlash"},
    {&kCmdWriteFlashPage, Fixed({7, 8, 9}), "WriteFlashPage"},
    {&kCmdReadFlashBlock, Fixed({6, 7, 9}), "ReadFlashBlock"},
    {&kCmdWriteKernelPiece, Fixed({7, 8, 9}), "WriteKernelPiece"},
    {&kCmdWriteAliPage, Fixed({6, 7, 8, 9, 10, 11}), "WriteAliPage"},
    {&kCmdFirmwareBlock, Fixed({1, 2, 3, 4, 5, 7, 8, 9, 10, 11}), "FirmwareBlock"},
    {&kCmdReadDriveByte, Fixed({7, 8}), "ReadDriveByte"},
    {&kCmdWriteDriveByte, Fixed({7, 8, 9}), "WriteDriveByte"},
};

const SVendorCommand* FindVendorCommand(const Cdb& cdb) {
    for (const SVendorCommand& command : kVendorCommands) {
        bool matches = true;
        for (size_t i = 0; i < 12 && matches; ++i) matches = !command.fixed[i] || cdb[i] == (*command.block)[i];
        if (!matches) continue;
        // StartFlash says so in byte 6 (04h; 05h: with progress) and, with
        // progress, in 0xE0 plus the pages sent and 0080h behind it; any
        // other 05h is a page.
        if (command.block == &kCmdStartFlash &&
            !(cdb[6] == 0x04 || (cdb[6] == 0x05 && cdb[7] >= 0xE0 && Be16(cdb, 8) == 0x0080)))
            continue;
        if (command.block == &kCmdWriteFlashPage && cdb[6] != 0x05) continue;
        return &command;
    }
    return nullptr;
}

const char* WriteBufferMode(uint8_t mode) {
    switch (mode) {
        case 0x00: return "header and data";
        case 0x01: return "vendor specific";
        case 0x02: return "data";
        case 0x04: return "download microcode";
        case 0x05: return "download microcode and save";
        case 0x06: return "download microcode with offsets";
        case 0x07: return "download microcode with offsets and save";
        default: return nullptr;
    }
}

std::string VendorFields(const SVendorCommand& command, const Cdb& c) {
    const CommandBlock* block = command.block;
    if (block == &kCmdSetChecksum) return Format(", sums %04Xh and %04Xh", Be16(c, 7), Be16(c, 9));
    if (block == &kCmdStartFlash) {
        return Format("%s, %u pages sent, header check sum %04Xh", c[6] == 0x05 ? " with progress" : "",
                      c[6] == 0x05 ? c[7] - 0xE0u : static_cast<unsigned>(c[7]), Be16(c, 10));
    }
    if (block == &kCmdWriteFlashPage) return Format(", page %u, field %04Xh", c[7], Be16(c, 8));
    if (block == &kCmdReadFlashBlock) return Format(", page %u, offset %04Xh", c[9], Be16(c, 6));
    if (block == &kCmdWriteKernelPiece) return Format(", bank %u, address %04Xh", c[7], Be16(c, 8));
    if (block == &kCmdWriteAliPage) {
        return Format(", page %u of %u, page sum %04Xh, image sum %04Xh", c[10], c[11], Be16(c, 6), Be16(c, 8));
    }
    if (block == &kCmdFirmwareBlock) {
        return Format(", block %u of %u, values %04Xh %04Xh", c[5], c[11], Le16(c, 1), Le16(c, 3));
    }
    if (block == &kCmdReadDriveByte) return Format(", address %04Xh", Be16(c, 7));
    if (block == &kCmdWriteDriveByte) return Format(", address %04Xh, value %02Xh", Be16(c, 7), c[9]);
    return {};
}

}  // namespace

std::string CommandName(const Cdb& c) {
    if (const SVendorCommand* vendor = FindVendorCommand(c)) return vendor->name;
    switch (c[0]) {
        case 0x00: return "TEST UNIT READY";
        case 0x03: return "REQUEST SENSE";
        case 0x12: return (c[1] & 1) ? "INQUIRY (VPD)" : "INQUIRY";
        case 0x1B: return "START STOP UNIT";
        case 0x1E: return "PREVENT ALLOW MEDIUM REMOVAL";
        case 0x3B: return Format("WRITE BUFFER mode %02Xh", c[1] & 0x1Fu);
        case 0x3C: return Format("READ BUFFER mode %02Xh", c[1] & 0x1Fu);
        case 0x46: return "GET CONFIGURATION";
        case 0x4A: return "GET EVENT STATUS NOTIFICATION";
        case 0x5A: return Format("MODE SENSE(10) page %02Xh", c[2] & 0x3Fu);
        case 0x55: return "MODE SELECT(10)";
        default: return Format("command %02Xh", c[0]);
    }
}

std::string DescribeCommand(const Cdb& c) {
    if (const SVendorCommand* vendor = FindVendorCommand(c)) return vendor->name + VendorFields(*vendor, c);
    const std::string name = CommandName(c);
    switch (c[0]) {
        case 0x03: return name + Format(", length %u", c[4]);
        case 0x12:
            if (c[1] & 1) return Format("INQUIRY page %02Xh, length %u", c[2], Be16(c, 3));
            return name + Format(", length %u", Be16(c, 3));
        case 0x1B: {
            const uint8_t action = c[4] & 0x03;
            const char* what = action == 0x03 ? "load" : action == 0x02 ? "eject" : action == 0x01 ? "start" : "stop";
            return name + ", " + what + ((c[1] & 1) ? ", immediate" : "");
        }
        case 0x1E: return name + ((c[4] & 1) ? ", prevent" : ", allow");
        case 0x3B:
        case 0x3C: {
            const char* mode = WriteBufferMode(c[1] & 0x1F);
            return name + (mode && c[0] == 0x3B ? std::string(" (") + mode + ")" : std::string()) +
                   Format(", buffer id %02Xh, offset %06Xh, length %u", c[2], Be24(c, 3), Be24(c, 6));
        }
        case 0x4A: return name + Format(", classes %02Xh, length %u", c[4], Be16(c, 7));
        case 0x5A: return name + Format(", length %u", Be16(c, 7));
        default: return name;
    }
}

std::string StatusName(uint8_t status) {
    switch (status) {
        case 0x00: return "GOOD";
        case 0x02: return "CHECK CONDITION";
        case 0x04: return "CONDITION MET";
        case 0x08: return "BUSY";
        case 0x18: return "RESERVATION CONFLICT";
        case 0x28: return "TASK SET FULL";
        case 0x30: return "ACA ACTIVE";
        case 0x40: return "TASK ABORTED";
        default: return Format("status %02Xh", status);
    }
}

std::string DescribeOutcome(const SCommandRecord& c) {
    if (!c.status) {
        if (c.timeoutSeconds != 0) return Format("no answer within %u s", c.timeoutSeconds);
        return "failed: " + c.error;
    }
    std::string text = StatusName(*c.status);
    if (c.sense.empty()) return text;
    const SSense sense = ParseSense(c.sense);
    if (!sense.valid) return text + ", sense that is in no known format";
    return text + ": " + SenseText(sense.key, sense.asc, sense.ascq);
}

std::string IdeCommandName(uint8_t value) {
    switch (value) {
        case kEnterFlashMode: return "EnterFlashMode";
        case kLeaveFlashMode: return "LeaveFlashMode";
        case kDeviceReset: return "DeviceReset";
        case kAliWrite: return "AliWrite";
        case kAliRead: return "AliRead";
        case kSerialReadBuffer: return "SerialReadBuffer";
        case kSerialWriteBuffer: return "SerialWriteBuffer";
        case kSerialStart: return "SerialStart";
        case kSerialComplete: return "SerialComplete";
        case kIdentifyPacketDevice: return "IDENTIFY PACKET DEVICE";
        default: return {};
    }
}

std::string RegisterName(uint16_t port, bool write) {
    if (port == 0x3F6 || port == 0x376) return write ? "device control" : "alternate status";
    if ((port & ~7u) != 0x1F0 && (port & ~7u) != 0x170) return {};
    static constexpr const char* kRead[8] = {"data",         "error",       "sector count", "sector number",
                                             "cylinder low", "cylinder high", "device",     "status"};
    static constexpr const char* kWrite[8] = {"data",         "features",      "sector count", "sector number",
                                              "cylinder low", "cylinder high", "device",       "command"};
    return (write ? kWrite : kRead)[port & 7];
}

}  // namespace jv::trace
