#include "sim/VirtualIde.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "sim/Rig.h"
#include "sim/VirtualDrive.h"
#include "util/Tool.h"

namespace jv::sim {

namespace {

// Status bits of the task file.
constexpr uint8_t kBusy = 0x80;
constexpr uint8_t kReady = 0x50;  // drive ready, seek complete
constexpr uint8_t kDataRequest = 0x08;
constexpr uint8_t kError = 0x01;
constexpr uint8_t kAbort = 0x04;  // error register: command aborted
constexpr uint8_t kFloating = 0xFF;

// Status an idle controller shows in its flash access mode. The MTK one
// answers a complete address with 0x70; an MTK2 with the direct layout says
// so with 0x73.
constexpr uint8_t kMtkIdle = 0x70;
constexpr uint8_t kMtk2DirectIdle = 0x73;

constexpr uint8_t kMtkKey = 0x2A;
constexpr uint8_t kAliKey = 0x57;
constexpr uint32_t kWindowBase = 0x8800;
constexpr size_t kSerialBufferSize = 0x400;
// A flash job gives a command per byte; a test needs the first few.
constexpr size_t kKeptCommands = 4096;

bool ParseWord(const std::string& text, uint32_t& value) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty()) return false;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    return ec == std::errc() && end == digits.data() + digits.size();
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ParseYesNo(const std::string& text, bool& value) {
    std::string word = Lower(text);
    if (word == "yes" || word == "true" || word == "1" || word == "on") value = true;
    else if (word == "no" || word == "false" || word == "0" || word == "off") value = false;
    else return false;
    return true;
}

}  // namespace

int ReportedIdePlace(const SIdeConfig& config, size_t index) {
    if (config.location != kIdeOwnPlace) return config.location;
    return index < 4 ? static_cast<int>(index) : kIdeNoPlace;
}

uint8_t ChipTypeOf(const SIdeConfig& config) {
    return config.chipType.value_or(config.controller == EIdeController::Mtk2 ? 15 : 2);
}

bool ParseIdeRigKey(SIdeConfig& config, const std::string& lowerKey, const std::string& value,
                    std::string& problem) {
    problem.clear();
    bool flag = false;
    if (lowerKey == "ide_controller") {
        static constexpr std::pair<const char*, EIdeController> names[] = {
            {"none", EIdeController::None}, {"mtk", EIdeController::Mtk},   {"ali", EIdeController::Ali},
            {"ali2", EIdeController::Ali2}, {"mtk2", EIdeController::Mtk2}};
        std::string word = Lower(value);
        for (const auto& [name, controller] : names)
            if (word == name) {
                config.controller = controller;
                return true;
            }
        problem = "not none, mtk, ali, ali2 or mtk2";
    } else if (lowerKey == "ide_serial_layout") {
        std::string word = Lower(value);
        if (word == "direct" || word == "window") config.directLayout = word == "direct";
        else problem = "not window or direct";
    } else if (lowerKey == "flash_chip") {
        uint32_t type = 0;
        if (ParseWord(value, type) && type < kChipTypes) config.chipType = static_cast<uint8_t>(type);
        else problem = "not a chip type 0 to 38";
    } else if (lowerKey == "chip_variant" || lowerKey == "chip_unknown_id" || lowerKey == "chip_stays_busy" ||
               lowerKey == "chip_protected") {
        if (!ParseYesNo(value, flag)) {
            problem = "not yes or no";
        } else if (lowerKey == "chip_variant") {
            config.chip.variant = flag;
        } else if (lowerKey == "chip_unknown_id") {
            config.chip.unknownId = flag;
        } else if (lowerKey == "chip_stays_busy") {
            config.chip.staysBusy = flag;
        } else {
            config.chip.protectedAtStart = flag ? 1 : 0;
        }
    } else if (lowerKey == "ide_location") {
        static constexpr std::pair<const char*, int> places[] = {
            {"primary master", 0}, {"primary slave", 1}, {"secondary master", 2}, {"secondary slave", 3},
            {"none", kIdeNoPlace}};
        std::string words;
        for (char c : Lower(value)) {
            if (c == '-' || c == '_' || c == '\t') c = ' ';
            if (c != ' ' || (!words.empty() && words.back() != ' ')) words.push_back(c);
        }
        while (!words.empty() && words.back() == ' ') words.pop_back();
        for (const auto& [name, place] : places)
            if (words == name) {
                config.location = place;
                return true;
            }
        problem = "not primary or secondary, master or slave, or none";
    } else if (lowerKey == "chip_stuck_bytes") {
        config.chip.stuckBytes.clear();
        size_t pos = 0;
        while (pos <= value.size()) {
            size_t next = value.find_first_of(", \t", pos);
            if (next == std::string::npos) next = value.size();
            std::string part = value.substr(pos, next - pos);
            pos = next + 1;
            if (part.empty()) continue;
            uint32_t address = 0;
            if (!ParseWord(part, address)) {
                problem = "'" + part + "' is not an address";
                return true;
            }
            config.chip.stuckBytes.push_back(address);
        }
        if (config.chip.stuckBytes.empty()) problem = "no address";
    } else {
        return false;
    }
    return true;
}

// ---- one device on the channel ----

struct VirtualIdeChannel::SDevice {
    VirtualDrive* drive = nullptr;
    EIdeController controller = EIdeController::None;
    bool directLayout = false;
    std::unique_ptr<VirtualFlashChip> chip;
    uint64_t savedChanges = 0;

    bool flashMode = false;
    uint8_t status = kReady;
    uint8_t error = 0;
    // Status reads that still show busy after a command.
    uint32_t busyReads = 0;
    // The sector number register holds a result only once the command ended.
    bool resultPending = false;

    // MTK: the steps of a byte access given through the sector count.
    enum class EMtkStep : uint8_t { None, Address, Armed, Data } mtkStep = EMtkStep::None;
    uint8_t mtkData = 0;

    // ALI: the data phase of a byte command.
    uint32_t dataAddress = 0;
    uint32_t dataLeft = 0;
    bool dataOut = false;

    // MTK2: the controller's command buffer and the serial chip select.
    std::array<uint8_t, kSerialBufferSize> buffer{};
    bool chipSelected = false;

    // The words of an IDENTIFY reply still to be read from the data port.
    std::vector<uint16_t> words;
    size_t wordAt = 0;

    std::vector<uint8_t> commands;
    uint32_t resets = 0;

    // A disk is an ATA device: no packet commands, no flash access mode.
    bool Disk() const { return (drive->Config().peripheral & 0x1F) == 0; }
    uint16_t TakeWord() {
        const uint16_t word = words[wordAt++];
        if (wordAt == words.size()) {
            words.clear();
            wordAt = 0;
            Done();
        }
        return word;
    }

    uint8_t IdleStatus() const {
        if (!flashMode) return kReady;
        if (controller == EIdeController::Mtk) return kMtkIdle;
        if (controller == EIdeController::Mtk2 && directLayout) return kMtk2DirectIdle;
        return kReady;
    }
    void Abort() {
        status = kReady | kError;
        error = kAbort;
        dataLeft = 0;
    }
    void Done() {
        status = IdleStatus();
        error = 0;
    }
};

VirtualIdeChannel::VirtualIdeChannel(uint16_t taskFileBase, uint16_t controlPort)
    : base_(taskFileBase), control_(controlPort) {}

VirtualIdeChannel::~VirtualIdeChannel() = default;

void VirtualIdeChannel::Attach(int position, VirtualDrive* drive) {
    auto& slot = devices_[static_cast<size_t>(position & 1)];
    slot.reset();
    if (!drive) return;
    slot = std::make_unique<SDevice>();
    slot->drive = drive;
    const SIdeConfig& config = drive->Config().ide;
    slot->controller = config.controller;
    slot->directLayout = config.directLayout;
    if (config.controller != EIdeController::None) {
        slot->chip = std::make_unique<VirtualFlashChip>(ChipTypeOf(config), drive->Flash(), config.chip);
    }
}

bool VirtualIdeChannel::Owns(uint16_t port) const {
    return (port >= base_ && port <= base_ + 7) || port == control_;
}

VirtualFlashChip* VirtualIdeChannel::Chip(int position) {
    auto& device = devices_[static_cast<size_t>(position & 1)];
    return device ? device->chip.get() : nullptr;
}

bool VirtualIdeChannel::InFlashMode(int position) const {
    const auto& device = devices_[static_cast<size_t>(position & 1)];
    return device && device->flashMode;
}

VirtualIdeChannel::SDevice* VirtualIdeChannel::Selected() {
    return devices_[(device_ & 0x10) ? 1 : 0].get();
}

const std::vector<uint8_t>& VirtualIdeChannel::Commands(int position) const {
    static const std::vector<uint8_t> none;
    const auto& device = devices_[static_cast<size_t>(position & 1)];
    return device ? device->commands : none;
}

uint32_t VirtualIdeChannel::Resets(int position) const {
    const auto& device = devices_[static_cast<size_t>(position & 1)];
    return device ? device->resets : 0;
}

void VirtualIdeChannel::Reset(SDevice& device) {
    ++device.resets;
    device.words.clear();
    if (device.chip && device.chipSelected) device.chip->Deselect();
    device.chipSelected = false;
    device.flashMode = false;
    device.mtkStep = SDevice::EMtkStep::None;
    device.dataLeft = 0;
    device.busyReads = 0;
    device.resultPending = false;
    device.status = kReady;
    device.error = 0x01;  // diagnostic code: no error
    // A drive keeps what its flash holds between runs of the simulator. A
    // page the chip has written on its own by now is part of that.
    if (device.chip) device.chip->Settle();
    if (device.chip && device.chip->Changes() != device.savedChanges) {
        device.savedChanges = device.chip->Changes();
        const std::string& file = device.drive->Config().flashFile;
        if (!file.empty()) {
            auto bytes = device.drive->Flash().Bytes();
            WriteFileBinary(file, bytes.data(), static_cast<uint32_t>(bytes.size()));
        }
    }
}

void VirtualIdeChannel::Write(uint16_t port, uint8_t value) {
    ++operations_;
    if (keepLog_) log_.push_back({port, value, true});
    if (port == control_) {
        if (value & 0x04) {  // software reset of both devices
            for (auto& device : devices_)
                if (device) Reset(*device);
        }
        return;
    }
    if (!Owns(port)) return;
    SDevice* device = Selected();
    switch (port - base_) {
        case 0:
            if (device && device->dataLeft > 0 && device->dataOut) {
                if (device->chip) device->chip->BusWrite(device->dataAddress, value);
                ++device->dataAddress;
                if (--device->dataLeft == 0) device->Done();
            }
            return;
        case 1: features_ = value; return;
        case 2:
            sectorCount_ = value;
            if (device) SectorCountWritten(*device, value);
            return;
        case 3: sectorNumber_ = value; return;
        case 4: cylinderLow_ = value; return;
        case 5: cylinderHigh_ = value; return;
        case 6: device_ = value; return;
        case 7:
            if (device) Command(*device, value);
            return;
        default: return;
    }
}

uint8_t VirtualIdeChannel::Read(uint16_t port) {
    ++operations_;
    uint8_t value = kFloating;
    SDevice* device = Owns(port) ? Selected() : nullptr;
    if (device) {
        if (port == control_) {
            value = device->busyReads > 0 ? kBusy : device->status;
        } else {
            switch (port - base_) {
                case 0:
                    if (device->wordAt < device->words.size()) {
                        // A byte-wide read takes a whole word; the high byte is lost.
                        value = static_cast<uint8_t>(device->TakeWord() & 0xFF);
                        break;
                    }
                    if (device->dataLeft > 0 && !device->dataOut) {
                        value = device->chip ? device->chip->BusRead(device->dataAddress) : kFloating;
                        ++device->dataAddress;
                        if (--device->dataLeft == 0) device->Done();
                    }
                    break;
                case 1: value = device->error; break;
                case 2: value = sectorCount_; break;
                case 3: value = device->resultPending ? kFloating : sectorNumber_; break;
                case 4: value = cylinderLow_; break;
                case 5: value = cylinderHigh_; break;
                case 6: value = device_; break;
                case 7:
                    if (device->busyReads > 0) {
                        --device->busyReads;
                        value = kBusy;
                        if (device->busyReads == 0) device->resultPending = false;
                    } else {
                        value = device->status;
                    }
                    break;
                default: break;
            }
        }
    }
    if (keepLog_) log_.push_back({port, value, false});
    return value;
}

uint16_t VirtualIdeChannel::Read16(uint16_t port) {
    SDevice* device = port == base_ ? Selected() : nullptr;
    if (!device || device->wordAt >= device->words.size()) return static_cast<uint16_t>(0xFF00 | Read(port));
    ++operations_;
    const uint16_t word = device->TakeWord();
    if (keepLog_) log_.push_back({port, static_cast<uint8_t>(word & 0xFF), false});
    return word;
}

// IDENTIFY DEVICE of a disk, IDENTIFY PACKET DEVICE of a drive: the model
// is the drive's INQUIRY vendor and product, as drives report it.
void VirtualIdeChannel::Identify(SDevice& device, bool packet) {
    const auto inquiry = device.drive->InquiryData();
    const auto field = [&](size_t at, size_t width) {
        std::string text(reinterpret_cast<const char*>(inquiry.data() + at), width);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    };
    std::string model = field(8, 8) + " " + field(16, 16);
    std::string revision = field(32, 4);
    model.resize(40, ' ');
    revision.resize(8, ' ');
    device.words.assign(256, 0);
    // Packet device (bits 15-14 10b) of the drive's type, removable; or a
    // fixed ATA device.
    device.words[0] = packet ? static_cast<uint16_t>(0x8080 | (inquiry[0] & 0x1F) << 8) : 0x0040;
    const auto put = [&](const std::string& text, size_t firstWord) {
        for (size_t i = 0; i + 1 < text.size(); i += 2)
            device.words[firstWord + i / 2] = static_cast<uint16_t>(static_cast<uint8_t>(text[i]) << 8 |
                                                                     static_cast<uint8_t>(text[i + 1]));
    };
    put(revision, 23);
    put(model, 27);
    device.wordAt = 0;
    device.status = kReady | kDataRequest;
    device.error = 0;
    device.busyReads = 1;
}

// MTK controllers take a byte access as steps written to the sector count,
// bit 7 carrying address bit 16: 0x15 address, 0x20 arm, 0x42 take the data
// byte from the sector number, 0x01 write it, or after arming 0x08 read the
// byte into the sector number. A step out of order drops the access.
void VirtualIdeChannel::SectorCountWritten(SDevice& device, uint8_t value) {
    if (!device.flashMode || device.controller != EIdeController::Mtk) return;
    using Step = SDevice::EMtkStep;
    const uint32_t address = (uint32_t{features_ & 7u} << 17) | (uint32_t{value} >> 7 << 16) |
                             (uint32_t{cylinderHigh_} << 8) | cylinderLow_;
    switch (value & 0x7F) {
        case 0x15:
            device.mtkStep = Step::Address;
            return;
        case 0x20:
            device.mtkStep = device.mtkStep == Step::Address ? Step::Armed : Step::None;
            return;
        case 0x42:
            if (device.mtkStep == Step::Armed) {
                device.mtkStep = Step::Data;
                device.mtkData = sectorNumber_;
            } else {
                device.mtkStep = Step::None;
            }
            return;
        case 0x01:
            if (device.mtkStep == Step::Data && device.chip) device.chip->BusWrite(address, device.mtkData);
            device.mtkStep = Step::None;
            return;
        case 0x08:
            if (device.mtkStep == Step::Armed && device.chip) sectorNumber_ = device.chip->BusRead(address);
            device.mtkStep = Step::None;
            return;
        default:
            device.mtkStep = Step::None;
            return;
    }
}

void VirtualIdeChannel::Command(SDevice& device, uint8_t command) {
    if (device.commands.size() < kKeptCommands) device.commands.push_back(command);
    device.dataLeft = 0;
    device.resultPending = false;
    device.words.clear();
    device.wordAt = 0;
    if (command == 0xA1 || command == 0xEC) {
        if ((command == 0xA1) != device.Disk()) {
            Identify(device, command == 0xA1);
            return;
        }
        device.Abort();
        // A packet device refusing IDENTIFY DEVICE shows its signature.
        if (command == 0xEC) {
            cylinderLow_ = 0x14;
            cylinderHigh_ = 0xEB;
        }
        return;
    }
    if (device.Disk()) {  // no DEVICE RESET, no flash access mode
        device.Abort();
        return;
    }
    if (command == 0x08) {  // device reset
        Reset(device);
        return;
    }
    if (command == 0x80) {
        bool mtkFamily = device.controller == EIdeController::Mtk || device.controller == EIdeController::Mtk2;
        bool aliFamily = device.controller == EIdeController::Ali || device.controller == EIdeController::Ali2;
        if ((mtkFamily && sectorNumber_ == kMtkKey) || (aliFamily && sectorNumber_ == kAliKey)) {
            device.flashMode = true;
            device.mtkStep = SDevice::EMtkStep::None;
            device.Done();
        } else {
            device.Abort();
        }
        return;
    }
    if (command == 0x81) {
        if (device.chip && device.chipSelected) device.chip->Deselect();
        device.chipSelected = false;
        device.flashMode = false;
        device.Done();
        return;
    }
    if (!device.flashMode || !device.chip) {
        device.Abort();
        return;
    }
    switch (device.controller) {
        case EIdeController::Ali:
        case EIdeController::Ali2: {
            if (command != 0x82 && command != 0x83) break;
            // Bank codes: 0x2C-0x2F for the four 64 KB banks of an ALI part;
            // an ALI2 adds 0xF8-0xFF for eight, and still takes the old codes.
            uint32_t bank = 0;
            if (sectorCount_ >= 0x2C && sectorCount_ <= 0x2F)
                bank = sectorCount_ - 0x2Cu;
            else if (device.controller == EIdeController::Ali2 && sectorCount_ >= 0xF8)
                bank = sectorCount_ - 0xF8u;
            else
                break;
            device.dataAddress = (bank << 16) | (uint32_t{cylinderHigh_} << 8) | cylinderLow_;
            device.dataLeft = uint32_t{features_} + 1;
            device.dataOut = command == 0x82;
            device.status = kReady | kDataRequest;
            device.error = 0;
            device.busyReads = 1;
            return;
        }
        case EIdeController::Mtk2: {
            auto index = [&](size_t& i) {
                if (device.directLayout) {
                    i = (size_t{cylinderHigh_} << 8) | cylinderLow_;
                } else {
                    uint32_t window = (uint32_t{device_ & 0x0Fu} << 16) | (uint32_t{cylinderHigh_} << 8) | cylinderLow_;
                    if (window < kWindowBase) return false;
                    i = window - kWindowBase;
                }
                return i < kSerialBufferSize;
            };
            size_t i = 0;
            if (command == 0x01 || command == 0x00) {
                if (!index(i)) break;
                if (command == 0x01) device.buffer[i] = sectorNumber_;
                else sectorNumber_ = device.buffer[i];
                device.resultPending = command == 0x00;
            } else if (command == 0x04) {
                size_t out = device.directLayout ? (size_t{features_} << 8) | sectorCount_
                                                 : (size_t{sectorCount_} << 8) | features_;
                size_t in = device.directLayout ? (size_t{cylinderLow_} << 8) | cylinderHigh_
                                                : (size_t{cylinderHigh_} << 8) | cylinderLow_;
                if (out == 0 || out + in > kSerialBufferSize) break;
                if (!device.chipSelected) device.chip->Select();
                device.chipSelected = true;
                for (size_t k = 0; k < out; ++k) device.chip->Shift(device.buffer[k]);
                for (size_t k = 0; k < in; ++k) device.buffer[out + k] = device.chip->Shift(0x00);
            } else if (command == 0x05) {
                if (device.chipSelected) device.chip->Deselect();
                device.chipSelected = false;
            } else {
                break;
            }
            device.Done();
            device.busyReads = 1;
            return;
        }
        default:
            break;
    }
    device.Abort();
}

// ---- the bus ----

VirtualIdeBus::VirtualIdeBus(std::span<VirtualDrive* const> drives) {
    channels_[0] = std::make_unique<VirtualIdeChannel>(0x1F0, 0x3F6);
    channels_[1] = std::make_unique<VirtualIdeChannel>(0x170, 0x376);
    for (size_t i = 0; i < drives.size() && i < 4; ++i)
        channels_[i / 2]->Attach(static_cast<int>(i % 2), drives[i]);
    // A replayed drive answers every register access from its trace: the
    // ports recorded are the whole bus's.
    for (VirtualDrive* drive : drives) {
        if (drive && drive->Replay() && !replay_) replay_ = drive->Replay();
    }
}

VirtualIdeChannel* VirtualIdeBus::ChannelForPort(uint16_t port) {
    for (auto& channel : channels_)
        if (channel->Owns(port)) return channel.get();
    return nullptr;
}

void VirtualIdeBus::Write(uint16_t port, uint8_t value) {
    if (replay_) return replay_->Write(port, value);
    if (VirtualIdeChannel* channel = ChannelForPort(port)) channel->Write(port, value);
}

uint8_t VirtualIdeBus::Read(uint16_t port) {
    if (replay_) return replay_->Read(port);
    VirtualIdeChannel* channel = ChannelForPort(port);
    return channel ? channel->Read(port) : kFloating;
}

uint16_t VirtualIdeBus::Read16(uint16_t port) {
    if (replay_) return replay_->Read16(port);
    VirtualIdeChannel* channel = ChannelForPort(port);
    return channel ? channel->Read16(port) : 0xFFFF;
}

uint64_t VirtualIdeBus::Operations() const { return channels_[0]->Operations() + channels_[1]->Operations(); }

VirtualIdeBus& ProcessIdeBus() {
    static VirtualIdeBus bus = [] {
        std::vector<VirtualDrive*> drives;
        for (auto& drive : ProcessRig().drives) drives.push_back(drive.get());
        return VirtualIdeBus(drives);
    }();
    return bus;
}

VirtualIdeChannel* IdeChannelForPort(uint16_t port) { return ProcessIdeBus().ChannelForPort(port); }

}  // namespace jv::sim
