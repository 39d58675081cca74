#pragma once
// Stand-ins for a drive's IDE channel in the register-route tests: a port
// backend that records what is written, and controllers of the MTK, ALI and
// MTK2 families with a flash chip behind them that behaves like one (cells
// only program from 1 to 0, commands count only after their unlock cycles).
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Ports.h"

namespace jv::testing {

// Primary channel, task file 0x1F0-0x1F7.
enum : uint16_t {
    kData = 0x1F0, kFeat = 0x1F1, kCount = 0x1F2, kSector = 0x1F3, kCylLow = 0x1F4, kCylHigh = 0x1F5,
    kDevice = 0x1F6, kCommand = 0x1F7, kControl = 0x3F6,
};

class RecordingPorts : public PortBackend {
public:
    std::string Claim(uint16_t first, uint16_t count) override {
        claims.push_back({first, count});
        return refusal;
    }
    void Write(uint16_t port, uint8_t value) override {
        writes.push_back({port, value});
        OnWrite(port, value);
    }
    uint8_t Read(uint16_t port) override {
        ++reads;
        return reader ? reader(port) : OnRead(port);
    }
    virtual void OnWrite(uint16_t, uint8_t) {}
    virtual uint8_t OnRead(uint16_t) { return 0; }

    // Writes to one port, in order.
    std::vector<uint8_t> WritesTo(uint16_t port) const {
        std::vector<uint8_t> out;
        for (const auto& w : writes) {
            if (w.first == port) out.push_back(w.second);
        }
        return out;
    }

    std::vector<std::pair<uint16_t, uint8_t>> writes;
    std::vector<std::pair<uint16_t, uint16_t>> claims;
    std::function<uint8_t(uint16_t)> reader;
    std::string refusal;
    uint64_t reads = 0;
};

// A JEDEC parallel flash chip: ID mode, byte program and chip erase, each
// only after its unlock cycles at the chip's own addresses.
struct FakeParallelChip {
    std::vector<uint8_t> cells;
    uint16_t unlock1 = 0x0555;
    uint16_t unlock2 = 0x02AA;
    std::map<uint32_t, uint8_t> ids;  // what ID mode reads at each address
    bool pageWrite = false;           // Winbond: every byte of a page after one A0 sequence
    int64_t stuckAddress = -1;        // a cell that never programs
    std::vector<int> programCounts = std::vector<int>(0x400, 0);  // for the first 1 KB
    int erases = 0;

    int step = 0;
    bool idMode = false;
    bool programNext = false;
    bool pageOpen = false;

    void Write(uint32_t a, uint8_t v) {
        a = static_cast<uint32_t>(a % cells.size());
        if (programNext || (pageOpen && step == 0 && !(a == unlock1 && v == 0xAA))) {
            programNext = false;
            if (a < programCounts.size()) ++programCounts[a];
            if (static_cast<int64_t>(a) != stuckAddress) cells[a] &= v;
            return;
        }
        const uint32_t low = a & 0xFFFF;
        if (step == 0 && v == 0xF0) { idMode = false; return; }
        if ((step == 0 || step == 3) && low == unlock1 && v == 0xAA) { ++step; return; }
        if ((step == 1 || step == 4) && low == unlock2 && v == 0x55) { ++step; return; }
        if (step == 2 && low == unlock1) {
            step = 0;
            if (v == 0x90) idMode = true;
            if (v == 0xF0) idMode = false;
            if (v == 0xA0) (pageWrite ? pageOpen : programNext) = true;
            if (v == 0x80) step = 3;
            return;
        }
        if (step == 5 && low == unlock1) {
            step = 0;
            if (v == 0x10) {
                std::fill(cells.begin(), cells.end(), uint8_t{0xFF});
                ++erases;
            }
            if (v == 0x60) idMode = true;
            return;
        }
        step = 0;  // a cycle out of place cancels the sequence
    }
    uint8_t Read(uint32_t a) const {
        if (idMode) {
            const auto it = ids.find(a);
            return it == ids.end() ? 0 : it->second;
        }
        return cells[a % cells.size()];
    }
};

// A serial flash chip: status register with WEL, WIP and protection bits,
// WREN before every program or erase, 256-byte pages.
struct FakeSerialChip {
    std::vector<uint8_t> cells;
    std::array<uint8_t, 5> res{}, rems{}, rdid{};
    uint8_t status = 0x1C;  // protected until WRSR clears it
    bool neverReady = false;
    int64_t stuckAddress = -1;
    int erases = 0;
    // Each command: the bytes sent and the number of reply bytes asked.
    std::vector<std::pair<std::vector<uint8_t>, size_t>> commands;

    void Program(uint32_t a, uint8_t v) {
        a = static_cast<uint32_t>(a % cells.size());
        if (static_cast<int64_t>(a) != stuckAddress) cells[a] &= v;
    }
    bool Writable() const { return (status & 0x02) && !(status & 0x1C); }

    void Run(const std::vector<uint8_t>& out, std::vector<uint8_t>& in) {
        if (out.empty()) return;
        commands.push_back({out, in.size()});
        const uint32_t a = out.size() >= 4 ? (out[1] << 16 | out[2] << 8 | out[3]) : 0;
        switch (out[0]) {
        case 0x04: status &= 0xFD; break;
        case 0x06: status |= 0x02; break;
        case 0x05: if (!in.empty()) in[0] = static_cast<uint8_t>(status | (neverReady ? 1 : 0)); break;
        case 0x01:  // like every write, it ends with write enable cleared
            if (out.size() >= 2) status = static_cast<uint8_t>((status & 0x01) | (out[1] & 0x1C));
            break;
        case 0x60: case 0xC7:
            if (Writable()) { std::fill(cells.begin(), cells.end(), uint8_t{0xFF}); ++erases; }
            status &= 0xFD;
            break;
        case 0x02:
            if (Writable()) {
                for (size_t i = 4; i < out.size(); ++i) Program((a & ~0xFFu) | ((a + i - 4) & 0xFF), out[i]);
            }
            status &= 0xFD;
            break;
        case 0x03: case 0x0B:
            for (size_t i = 0; i < in.size(); ++i) in[i] = cells[(a + i) % cells.size()];
            break;
        case 0xAB: std::copy_n(res.begin(), std::min<size_t>(5, in.size()), in.begin()); break;
        case 0x90: std::copy_n(rems.begin(), std::min<size_t>(5, in.size()), in.begin()); break;
        case 0x9F: std::copy_n(rdid.begin(), std::min<size_t>(5, in.size()), in.begin()); break;
        default: break;
        }
    }
};

// One controller on the primary channel, master drive.
class FakeController : public RecordingPorts {
public:
    uint8_t family = 1;  // 1 MTK, 2 ALI, 3 ALI2, 4 MTK2
    FakeParallelChip* parallel = nullptr;
    FakeSerialChip* serial = nullptr;
    uint8_t modeByte = 0x73;  // MTK2: 0x73 direct layout, else the window
    bool stuckBusy = false;   // from the flash access mode on
    // The model IDENTIFY PACKET DEVICE names: the drive a rig gets by default.
    std::string model = "VIRTUAL DVD-ROM";

    uint16_t Read16(uint16_t port) override {
        if (port != kData || identifyAt_ >= identify_.size()) return RecordingPorts::Read16(port);
        ++reads;
        return identify_[identifyAt_++];
    }

    void OnWrite(uint16_t port, uint8_t v) override {
        if (port < kData || port > kCommand) return;
        reg_[port - kData] = v;
        if (port == kData && family != 4 && dataWrite_) {
            dataWrite_ = false;
            parallel->Write(address_, v);
        }
        if (port == kCount && family == 1) MtkCount(v);
        if (port == kCommand) Command(v);
    }
    uint8_t OnRead(uint16_t port) override {
        const bool busy = stuckBusy && flashModeAsked_;
        if (port == kCommand) {  // status
            if (busy) return 0xD0;
            if (identifyAt_ < identify_.size()) return 0x58;
            if (family == 1) return 0x70;
            if (family == 4) return modeByte;
            return 0x58;
        }
        if (port == kControl) return busy ? 0x80 : 0x50;
        if (port == kSector) return sectorOut_;
        if (port == kData && family != 4) return parallel->Read(address_ + readOffset_++);
        return 0;
    }

private:
    uint8_t& R(uint16_t port) { return reg_[port - kData]; }

    // The address registers are complete by the time of the strobe.
    void MtkCount(uint8_t v) {
        const uint8_t op = v & 0x7F;
        if (op != 0x01 && op != 0x08) return;
        address_ = (R(kFeat) & 7u) << 17 | ((v & 0x80) ? 0x10000u : 0) | R(kCylHigh) << 8 | R(kCylLow);
        if (op == 0x01) parallel->Write(address_, R(kSector));
        if (op == 0x08) sectorOut_ = parallel->Read(address_);
    }

    // An ALI2 takes the four ALI codes as well as its own eight.
    uint32_t AliBank(uint8_t code) const {
        if (code >= 0xF8) return family == 3 ? (code - 0xF8u) << 16 : 0xFFFFFFFF;
        if (code >= 0x2C && code <= 0x2F) return (code - 0x2Cu) << 16;
        return 0xFFFFFFFF;
    }

    uint32_t BufferIndex() {
        const uint32_t raw = R(kCylHigh) << 8 | R(kCylLow);
        if (modeByte == 0x73) return raw;
        return raw + ((R(kDevice) & 0x0Fu) << 16) - 0x8800;
    }

    void Command(uint8_t v) {
        if (v == 0xA1) {  // IDENTIFY PACKET DEVICE: a CD/DVD drive named model
            identify_.assign(256, 0);
            identify_[0] = 0x85C0;
            std::string text = model;
            text.resize(40, ' ');
            for (size_t i = 0; i < 40; i += 2)
                identify_[27 + i / 2] = static_cast<uint16_t>(static_cast<uint8_t>(text[i]) << 8 |
                                                              static_cast<uint8_t>(text[i + 1]));
            identifyAt_ = 0;
            return;
        }
        if (v == 0x80) flashModeAsked_ = true;
        if (family == 2 || family == 3) {
            const uint32_t bank = AliBank(R(kCount));
            if (v == 0x82 || v == 0x83) {
                // A bank code of the other family reaches nothing: reads
                // give the wrong bank's bytes, as a real controller would.
                address_ = (bank == 0xFFFFFFFF ? 0 : bank) | R(kCylHigh) << 8 | R(kCylLow);
                readOffset_ = 0;
                dataWrite_ = v == 0x82;
            }
            return;
        }
        if (family != 4) return;
        if (v == 0x01) buffer_.at(BufferIndex()) = R(kSector);
        if (v == 0x00) sectorOut_ = buffer_.at(BufferIndex());
        if (v == 0x04) {
            uint32_t o, n;
            if (modeByte == 0x73) {
                o = R(kFeat) << 8 | R(kCount);
                n = R(kCylLow) << 8 | R(kCylHigh);
            } else {
                o = R(kCount) << 8 | R(kFeat);
                n = R(kCylHigh) << 8 | R(kCylLow);
            }
            std::vector<uint8_t> out(buffer_.begin(), buffer_.begin() + o);
            std::vector<uint8_t> in(n, 0);
            serial->Run(out, in);
            std::copy(in.begin(), in.end(), buffer_.begin() + o);
        }
    }

    std::array<uint8_t, 8> reg_{};
    std::vector<uint16_t> identify_;
    size_t identifyAt_ = 0;
    bool flashModeAsked_ = false;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(0x1000, 0);
    uint32_t address_ = 0;
    uint32_t readOffset_ = 0;
    uint8_t sectorOut_ = 0;
    bool dataWrite_ = false;
};

// Installs ports for one scope.
class ScopedPorts {
public:
    explicit ScopedPorts(PortBackend& p) { SetPorts(&p); }
    ~ScopedPorts() { SetPorts(nullptr); }
    ScopedPorts(const ScopedPorts&) = delete;
    ScopedPorts& operator=(const ScopedPorts&) = delete;
};

}  // namespace jv::testing
