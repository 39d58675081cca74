#include "platform/SysfsIde.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

namespace jv {

namespace {

namespace fs = std::filesystem;

constexpr const char* kRefused = ", so the IDE route is refused.";

// PCI class code 01 01 xx: an IDE controller; 01 06 xx: SATA (AHCI).
constexpr unsigned kPciIde = 0x0101;
constexpr unsigned kPciSata = 0x0106;
// Programming interface bits: the primary or secondary channel runs in
// native mode (its ports are the BARs), else in compatibility mode.
constexpr unsigned kPrimaryNative = 0x01;
constexpr unsigned kSecondaryNative = 0x04;
constexpr unsigned long long kResourceIo = 0x100;  // IORESOURCE_IO in a resource line

// The first line of a small attribute file, without its line end.
std::optional<std::string> ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    if (!std::getline(in, line) && line.empty()) return std::nullopt;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.size() > 256) return std::nullopt;
    return line;
}

bool ParseUnsigned(std::string_view text, unsigned long long& value, int base) {
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 16) return false;
    value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    return true;
}

// "H:C:T:L" of a SCSI device directory.
bool ParseScsiAddress(const std::string& name, unsigned long long (&address)[4]) {
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? name.find(':', start) : name.size();
        if (end == std::string::npos || !ParseUnsigned(std::string_view(name).substr(start, end - start), address[i], 10))
            return false;
        start = end + 1;
    }
    return true;
}

// "ata7": the device of an ATA port; gives its number.
bool IsAtaPort(const std::string& name, std::string& number) {
    if (name.size() <= 3 || name.compare(0, 3, "ata") != 0) return false;
    number = name.substr(3);
    return number.find_first_not_of("0123456789") == std::string::npos;
}

struct SBar {
    unsigned long long start = 0, end = 0, flags = 0;
};

// The BAR lines of a PCI device's resource file: start, end and flags.
std::vector<SBar> ReadBars(const fs::path& file) {
    std::vector<SBar> bars;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (bars.size() < 6 && std::getline(in, line)) {
        SBar bar;
        unsigned long long* fields[3] = {&bar.start, &bar.end, &bar.flags};
        size_t at = 0;
        bool good = true;
        for (unsigned long long* field : fields) {
            const size_t begin = line.find_first_not_of(' ', at);
            const size_t end = begin == std::string::npos ? begin : line.find(' ', begin);
            good = good && begin != std::string::npos &&
                   ParseUnsigned(std::string_view(line).substr(begin, end == std::string::npos ? end : end - begin),
                                 *field, 16);
            at = end == std::string::npos ? line.size() : end;
        }
        bars.push_back(good ? bar : SBar{});
    }
    return bars;
}

// An I/O BAR of at least size ports, all of them below 0x10000.
bool IoBar(const std::vector<SBar>& bars, size_t index, unsigned long long size) {
    if (index >= bars.size()) return false;
    const SBar& bar = bars[index];
    return (bar.flags & kResourceIo) != 0 && bar.start != 0 && bar.end >= bar.start + size - 1 && bar.end <= 0xFFFF;
}

std::string Hex(unsigned long long value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, value);
    return text;
}

}  // namespace

std::string LocateIdeInSysfs(const std::string& root, unsigned major, unsigned minor, const std::string& node,
                             SIdeLocation& location) {
    const std::string number = std::to_string(major) + ":" + std::to_string(minor);
    std::error_code error;
    const fs::path block = fs::canonical(fs::path(root) / "dev" / "block" / number, error);
    if (error) {
        return node + " (device " + number + ") is not in " + root + "/dev/block: where it is attached cannot be told" +
               kRefused;
    }
    // .../ataN/hostH/targetH:C:T/H:C:T:L/block/srN: the device libata made
    // of the drive is the folder that holds "block".
    if (block.parent_path().filename() != "block") return node + " is not a whole drive" + kRefused;
    const fs::path scsi = block.parent_path().parent_path();
    fs::path port;
    std::string portNumber;
    for (fs::path at = scsi.parent_path(); at.has_relative_path(); at = at.parent_path()) {
        if (IsAtaPort(at.filename().string(), portNumber)) {
            port = at;
            break;
        }
    }
    if (port.empty()) {
        return node + " is not on an ATA port (it is on USB, SCSI or another bus): it has no IDE registers" + kRefused;
    }
    const std::string portName = "ata" + portNumber;
    unsigned long long address[4] = {};
    if (!ParseScsiAddress(scsi.filename().string(), address) || address[1] != 0 || address[3] != 0 || address[2] > 1) {
        return node + " is " + scsi.filename().string() + " on " + portName +
               ", not the master or slave of an IDE channel" + kRefused;
    }
    const std::string device = "dev" + portNumber + "." + std::to_string(address[2]);
    const auto kind = ReadAttribute(port / ("link" + portNumber) / device / "ata_device" / device / "class");
    if (kind != "atapi") {
        return node + " is not an ATAPI device on " + portName + " (libata says '" + kind.value_or("nothing") + "')" +
               kRefused;
    }
    unsigned long long channel = 0;
    const auto portNo = ReadAttribute(port / "ata_port" / portName / "port_no");
    if (!portNo || !ParseUnsigned(*portNo, channel, 10) || channel < 1 || channel > 2) {
        return node + " is on " + portName + ", which is neither the primary nor the secondary channel of its controller" +
               kRefused;
    }
    --channel;
    const fs::path controller = port.parent_path();
    unsigned long long pciClass = 0;
    const auto classText = ReadAttribute(controller / "class");
    if (!classText || !ParseUnsigned(*classText, pciClass, 16)) {
        return node + " is on " + portName + ", whose controller is not a PCI device: its ports cannot be told" +
               kRefused;
    }
    if ((pciClass >> 8) == kPciSata) {
        return node + " is on " + portName + " of a SATA (AHCI) controller: it has no IDE registers" + kRefused;
    }
    if ((pciClass >> 8) != kPciIde) {
        return node + " is on " + portName + " of a controller of PCI class " + Hex(pciClass, 6) +
               ", not an IDE controller" + kRefused;
    }
    const bool native = (pciClass & (channel == 0 ? kPrimaryNative : kSecondaryNative)) != 0;
    if (!native) {
        location = channel == 0 ? kLegacyPrimary : kLegacySecondary;
    } else {
        // BAR 0 and 1 are the primary channel's command and control blocks,
        // 2 and 3 the secondary's; the control block's port is its third.
        const std::vector<SBar> bars = ReadBars(controller / "resource");
        const size_t first = static_cast<size_t>(channel) * 2;
        if (!IoBar(bars, first, 8) || !IoBar(bars, first + 1, 4)) {
            return node + " is on " + portName + ", a native-mode channel without usable I/O ports (BAR " +
                   std::to_string(first) + " and " + std::to_string(first + 1) + ")" + kRefused;
        }
        location.taskFile = static_cast<uint16_t>(bars[first].start);
        location.control = static_cast<uint16_t>(bars[first + 1].start + 2);
    }
    location.device = static_cast<uint8_t>(address[2]);
    return {};
}

}  // namespace jv
