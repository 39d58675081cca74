#pragma once
// The IDE side of a virtual drive: the task-file registers of its controller
// and the flash chip wired behind them. A host that puts the controller into
// its flash access mode reads and writes the chip byte by byte (parallel
// chips) or exchanges command bytes with it (serial chips), the way the
// register-level flash route does on a real machine.
//
// Ports: channel 0 is 0x1F0-0x1F7 with control/alternate status 0x3F6,
// channel 1 is 0x170-0x177 with 0x376. Drive i of a rig sits on channel i / 2,
// as master (device select 0xA0) for even i and slave (0xB0) for odd i; a
// drive whose device_type is 0 (Rig.h) sits there as an ATA disk. Each device
// answers IDENTIFY PACKET DEVICE (A1h) as a packet device with its INQUIRY
// vendor and product as model, a disk IDENTIFY DEVICE (ECh) instead.
//
// Rig keys of a drive (see Rig.h for the file format):
//   ide_controller = mtk          none | mtk | ali | ali2 | mtk2: the controller's
//                                 flash access mode (none: it has none)
//   ide_serial_layout = window    window | direct: the register layout of an mtk2
//                                 controller's command buffer
//   flash_chip = 15               chip type 0..38 behind the controller (default 2
//                                 on parallel controllers, 15 on mtk2); the chip's
//                                 cells are the drive's flash (flash_file), as large
//                                 as the part: flash_size is left out or the part's
//                                 size (any size with chip_unknown_id, a part no one
//                                 knows)
//   chip_variant = yes            the chip answers its alternative device code
//   chip_unknown_id = yes         the chip answers codes no one knows
//   chip_stuck_bytes = 0x1234     bytes that will not program (a list)
//   chip_stays_busy = yes         the first erase or program never ends
//   chip_protected = yes          status register protection bits at power-on
//                                 (default: yes on serial chips that are unprotected
//                                 with WRSR by their algorithms, no otherwise)
//   ide_location = primary master where the system says the drive sits: primary |
//                                 secondary, master | slave, or none (on no IDE
//                                 channel); by default where it does sit. Another
//                                 place is a system that misplaces the drive.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Ports.h"
#include "sim/FlashChips.h"

namespace jv::sim {

class VirtualDrive;
class ReplaySource;

enum class EIdeController : uint8_t { None, Mtk, Ali, Ali2, Mtk2 };

// The place ide_location gives: channel * 2 + device, or one of these.
inline constexpr int kIdeOwnPlace = -2;
inline constexpr int kIdeNoPlace = -1;

struct SIdeConfig {
    EIdeController controller = EIdeController::None;
    int location = kIdeOwnPlace;
    bool directLayout = false;              // mtk2 only
    std::optional<uint8_t> chipType;        // the controller's default when empty
    SChipFaults chip;
};

// The chip type behind the controller: the rig's, or the controller's default.
uint8_t ChipTypeOf(const SIdeConfig& config);

// Where the system places drive index of a rig on the IDE channels: its own
// place (channel index / 2, master for even index), the one ide_location
// names, or kIdeNoPlace (also for a drive beyond the two channels).
int ReportedIdePlace(const SIdeConfig& config, size_t index);

// Parses one rig key of the list above. False when the key is not one of
// them; otherwise problem is empty or says what is wrong with the value.
bool ParseIdeRigKey(SIdeConfig& config, const std::string& lowerKey, const std::string& value,
                    std::string& problem);

// One register access, for tests that compare what a host did.
struct SPortAccess {
    uint16_t port;
    uint8_t value;
    bool write;
    bool operator==(const SPortAccess&) const = default;
};

// One IDE channel with up to two virtual drives. Register writes latch in
// the channel (both devices see them, as on a cable); commands and status
// belong to the selected device.
class VirtualIdeChannel {
public:
    VirtualIdeChannel(uint16_t taskFileBase, uint16_t controlPort);
    ~VirtualIdeChannel();
    VirtualIdeChannel(const VirtualIdeChannel&) = delete;
    VirtualIdeChannel& operator=(const VirtualIdeChannel&) = delete;

    // position 0 master, 1 slave; nullptr leaves the position empty. The
    // drive must outlive the channel.
    void Attach(int position, VirtualDrive* drive);
    bool Owns(uint16_t port) const;

    void Write(uint16_t port, uint8_t value);
    // An empty position, or a port of another channel, reads 0xFF: the bus
    // floats high, and a host waiting for a ready bit waits in vain.
    uint8_t Read(uint16_t port);

    // The chip of a position, nullptr when none is wired there.
    VirtualFlashChip* Chip(int position);
    bool InFlashMode(int position) const;
    // 16-bit read of the data port: the words of an IDENTIFY reply.
    uint16_t Read16(uint16_t port);
    // What the device at a position was told: the commands written to it
    // (the first 4096), and the resets it went through (DEVICE RESET or a
    // software reset).
    const std::vector<uint8_t>& Commands(int position) const;
    uint32_t Resets(int position) const;

    uint64_t Operations() const { return operations_; }
    void KeepLog(bool keep) { keepLog_ = keep; }
    const std::vector<SPortAccess>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }

private:
    struct SDevice;
    SDevice* Selected();
    void Command(SDevice& device, uint8_t command);
    void Identify(SDevice& device, bool packet);
    void SectorCountWritten(SDevice& device, uint8_t value);
    void Reset(SDevice& device);

    uint16_t base_;
    uint16_t control_;
    std::array<std::unique_ptr<SDevice>, 2> devices_;
    uint8_t features_ = 0;
    uint8_t sectorCount_ = 0;
    uint8_t sectorNumber_ = 0;
    uint8_t cylinderLow_ = 0;
    uint8_t cylinderHigh_ = 0;
    uint8_t device_ = 0xA0;
    uint64_t operations_ = 0;
    bool keepLog_ = false;
    std::vector<SPortAccess> log_;
};

// The two channels of a machine, wired to its drives in scan order.
class VirtualIdeBus {
public:
    explicit VirtualIdeBus(std::span<VirtualDrive* const> drives);
    VirtualIdeChannel* ChannelForPort(uint16_t port);
    VirtualIdeChannel& Channel(int index) { return *channels_[static_cast<size_t>(index & 1)]; }
    void Write(uint16_t port, uint8_t value);
    uint8_t Read(uint16_t port);
    uint16_t Read16(uint16_t port);
    uint64_t Operations() const;

private:
    std::array<std::unique_ptr<VirtualIdeChannel>, 2> channels_;
    ReplaySource* replay_ = nullptr;
};

// A bus as the program's I/O ports. It never refuses them, as a machine
// whose ports were handed over would not.
class BusPorts final : public PortBackend {
public:
    explicit BusPorts(VirtualIdeBus& bus) : bus_(bus) {}
    std::string Claim(uint16_t, uint16_t) override { return {}; }
    void Write(uint16_t port, uint8_t value) override { bus_.Write(port, value); }
    uint8_t Read(uint16_t port) override { return bus_.Read(port); }
    uint16_t Read16(uint16_t port) override { return bus_.Read16(port); }

private:
    VirtualIdeBus& bus_;
};

// The bus of the process rig (ProcessRig()), built on first use.
VirtualIdeBus& ProcessIdeBus();
VirtualIdeChannel* IdeChannelForPort(uint16_t port);

}  // namespace jv::sim
