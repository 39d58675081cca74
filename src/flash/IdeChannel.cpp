#include "flash/IdeChannel.h"

#include <array>

#include "drive/Winfunc.h"
#include "platform/Console.h"
#include "platform/Ports.h"

namespace jv {

namespace {

constexpr uint8_t kBusy = 0x80;
constexpr uint8_t kDataRequest = 0x08;
constexpr uint8_t kError = 0x01;
constexpr uint8_t kFloatingBus = 0xFF;
constexpr uint8_t kCdDvdDevice = 0x05;
constexpr int kInquiryAttempts = 3;

struct SHeld {
    EDriveIndex drive = 0;
    SIdeLocation location;
    IORegisterSetting registers;
};
std::optional<SHeld> g_held;

// Blanks (and the zero bytes some drives pad with) collapsed to one space,
// none at either end.
std::string Collapsed(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= ' ') {
            blank = !out.empty();
            continue;
        }
        if (blank) out.push_back(' ');
        blank = false;
        out.push_back(c);
    }
    return out;
}

std::string WithoutBlanks(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out.push_back(c);
    return out;
}

// Polls the status port until it passes the test or the deadline passed.
template <class Test>
bool WaitStatus(const IORegisterSetting& r, const TPerfTimer& timer, uint8_t& status, Test passes) {
    for (;;) {
        status = PortRead(r.read.status);
        if (passes(status)) return true;
        if (timer.Remaining(0) == 0) return false;
    }
}

}  // namespace

IORegisterSetting IdeRegistersAt(const SIdeLocation& l) {
    IORegisterSetting s;
    const auto port = [&](int offset) { return static_cast<uint16_t>(l.taskFile + offset); };
    s.read = {port(0), port(1), port(2), port(3), port(4), port(5), port(6), port(7), l.control};
    s.write = {port(0), port(1), port(2), port(3), port(4), port(5), port(6), port(7), l.control};
    s.deviceSelect = l.device ? 0xB0 : 0xA0;
    return s;
}

void HoldIdeChannel(EDriveIndex drive, const SIdeLocation& location) {
    g_held = SHeld{drive, location, IdeRegistersAt(location)};
}

void ReleaseIdeChannel() { g_held.reset(); }

const IORegisterSetting* HeldIdeRegisters(EDriveIndex drive) {
    return g_held && g_held->drive == drive ? &g_held->registers : nullptr;
}

std::optional<EDriveIndex> HeldChannelMaster(EDriveIndex drive) {
    if (!g_held || g_held->drive != drive || g_held->location.device != 1) return std::nullopt;
    for (EDriveIndex other : ListDriveIndexes()) {
        SIdeLocation at;
        if (other != drive && LocateDriveOnIde(other, at).empty() && at.taskFile == g_held->location.taskFile &&
            at.device == 0)
            return other;
    }
    return std::nullopt;
}

std::string IdentifyModel(const uint16_t (&words)[256]) {
    std::string model;
    for (int w = 27; w <= 46; ++w) {
        model.push_back(static_cast<char>(words[w] >> 8));
        model.push_back(static_cast<char>(words[w] & 0xFF));
    }
    return Collapsed(model);
}

std::string InquiryVendorProduct(const uint8_t* inquiry) {
    const auto* text = reinterpret_cast<const char*>(inquiry);
    const std::string vendor = Collapsed(std::string_view(text + 8, 8));
    const std::string product = Collapsed(std::string_view(text + 16, 16));
    return vendor.empty() || product.empty() ? vendor + product : vendor + " " + product;
}

std::string IdentifyAtPorts(const IORegisterSetting& r, const std::string& identity, const std::string& where) {
    const std::string refused = ", so the IDE route is refused.";
    const std::string silent = Format("No device answered IDENTIFY PACKET DEVICE at %s within %u ms", where.c_str(),
                                      kIdentifyWaitMs) + refused;
    TPerfTimer timer(1000);
    timer.SetDeadline(0, static_cast<int32_t>(kIdentifyWaitMs));
    uint8_t status = 0;
    PortWrite(r.write.device, r.deviceSelect);
    DelayUs(1);
    if (PortRead(r.read.status) == kFloatingBus) return "Nothing answers at " + where + " (the bus floats)" + refused;
    if (!WaitStatus(r, timer, status, [](uint8_t s) { return (s & kBusy) == 0; })) return silent;
    PortWrite(r.write.command, kIdentifyPacketDevice);
    DelayUs(1);
    const auto answered = [](uint8_t s) { return (s & kBusy) == 0 && (s & (kDataRequest | kError)) != 0; };
    if (!WaitStatus(r, timer, status, answered)) return silent;
    if (status & kError) {
        // A packet device that refuses leaves its signature 14h EBh (69h 96h
        // on SATA); an ATA device, a disk, knows no such command.
        const uint8_t low = PortRead(r.read.cylinderLow);
        const uint8_t high = PortRead(r.read.cylinderHigh);
        const bool packet = (low == 0x14 && high == 0xEB) || (low == 0x69 && high == 0x96);
        if (packet) return "The device at " + where + " refused IDENTIFY PACKET DEVICE" + refused;
        return "The device at " + where + " is an ATA device, not a CD/DVD drive: it refused IDENTIFY PACKET DEVICE" +
               refused;
    }
    uint16_t words[256] = {};
    for (uint16_t& word : words) word = PortRead16(r.read.data);
    PortRead(r.read.status);
    // Word 0: bits 15-14 are 10b for a packet device, bits 12-8 its type.
    if ((words[0] & 0xC000) != 0x8000) {
        return "The device at " + where + " answers as an ATA device, not a CD/DVD drive" + refused;
    }
    const auto type = static_cast<uint8_t>((words[0] >> 8) & 0x1F);
    if (type != kCdDvdDevice) {
        return Format("The device at %s is a packet device of type %02Xh, not a CD/DVD drive", where.c_str(), type) +
               refused;
    }
    const std::string model = IdentifyModel(words);
    if (WithoutBlanks(model) != WithoutBlanks(identity) || identity.empty()) {
        return "The device at " + where + " is \"" + model + "\", not the chosen drive \"" + identity + "\"" + refused;
    }
    return {};
}

std::optional<std::string> ClaimIdeChannel(EDriveIndex drive) {
    ReleaseIdeChannel();
    if (!IsDriveIndexValid(drive)) {
        return Format("Drive %u was not found by the drive scan, so the IDE route is refused.", drive);
    }
    SIdeLocation location;
    if (std::string why = LocateDriveOnIde(drive, location); !why.empty()) return why;
    // Asked again after a failure: a drive that was just reset answers its
    // first command with UNIT ATTENTION.
    std::array<uint8_t, kInquiryLength> inquiry{};
    bool answered = false;
    for (int attempt = 0; attempt < kInquiryAttempts && !answered; ++attempt) answered = Inquiry(drive, inquiry);
    if (!answered) {
        return std::string("The drive did not answer INQUIRY: it cannot be identified at its IDE ports, so the IDE "
                           "route is refused.");
    }
    std::string why = ClaimPorts(location.taskFile, 8);
    if (why.empty()) why = ClaimPorts(location.control, 1);
    if (!why.empty()) return why;
    const std::string where = Format("0x%X %s", location.taskFile, location.device ? "slave" : "master");
    why = IdentifyAtPorts(IdeRegistersAt(location), InquiryVendorProduct(inquiry.data()), where);
    if (!why.empty()) return why;
    HoldIdeChannel(drive, location);
    return std::nullopt;
}

}  // namespace jv
