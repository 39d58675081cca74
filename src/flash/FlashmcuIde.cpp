#include "flash/FlashmcuIde.h"

#include <algorithm>
#include <array>

#include "flash/IdeChannel.h"
#include "platform/Console.h"
#include "platform/Ports.h"

namespace jv {

namespace {

constexpr uint8_t kBusy = 0x80;
constexpr uint8_t kDataRequest = 0x08;
constexpr uint8_t kMtkAddressReady = 0x70;
constexpr uint8_t kMtkFlashMode = 0x2A;
constexpr uint8_t kAliFlashMode = 0x57;
constexpr uint8_t kDirectLayout = 0x73;
constexpr uint8_t kInitialModeByte = 0x72;
constexpr uint32_t kBufferWindow = 0x8800;
constexpr uint32_t kAliBlock = 256;
constexpr uint32_t kBank = 0x10000;

SIdeAccess g_access;
uint8_t g_modeByte = kInitialModeByte;
std::optional<std::string> g_fault;

// Only the channel held for the drive, once it was proven there, is ever
// touched.
const IORegisterSetting* Registers(EDriveIndex drive) {
    if (const IORegisterSetting* held = HeldIdeRegisters(drive)) return held;
    if (!g_fault) g_fault = "No IDE channel is held for this drive: no register was touched!";
    return nullptr;
}

// Polls a port until its value passes the test, for at most the bound. A
// recorded fault means the channel is already known dead: no more polling.
template <class Test>
bool WaitPort(uint16_t port, Test passes) {
    if (g_fault) return false;
    if (passes(PortRead(port))) return true;
    TPerfTimer timer(1000);
    timer.SetDeadline(0, static_cast<int32_t>(kRegisterWaitMs));
    for (;;) {
        if (passes(PortRead(port))) return true;
        if (timer.Remaining(0) == 0) {
            g_fault = "IDE register wait timed out: the drive's controller does not answer!";
            return false;
        }
    }
}

bool WaitNotBusy(const IORegisterSetting& r) {
    return WaitPort(r.read.status, [](uint8_t v) { return (v & kBusy) == 0; });
}

bool WaitDataRequest(const IORegisterSetting& r) {
    return WaitPort(r.read.status, [](uint8_t v) { return (v & kDataRequest) != 0; });
}

uint8_t Low(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t High(uint32_t v) { return static_cast<uint8_t>((v >> 8) & 0xFF); }

void EnterFlashMode(const IORegisterSetting& r, uint8_t mode) {
    PortWrite(r.write.device, r.deviceSelect);
    PortWrite(r.write.sectorNumber, mode);
    PortWrite(r.write.command, kEnterFlashMode);
}

void Finish(EDriveIndex drive) {
    const IORegisterSetting* r = Registers(drive);
    if (!r) return;
    PortWrite(r->write.device, r->deviceSelect);
    PortWrite(r->write.command, kLeaveFlashMode);
    PortWrite(r->write.device, r->deviceSelect);
    PortWrite(r->write.command, kDeviceReset);
    WaitPort(r->read.alternateStatus, [](uint8_t v) { return (v & kBusy) == 0; });
}

// --- MTK ---------------------------------------------------------------

void MtkInitialise(EDriveIndex drive) {
    const IORegisterSetting* r = Registers(drive);
    if (!r) return;
    EnterFlashMode(*r, kMtkFlashMode);
    WaitNotBusy(*r);
}

// Address bit 16 travels in bit 7 of every sector count write.
uint8_t MtkHigh(uint32_t address) { return static_cast<uint8_t>(((address >> 16) & 1) << 7); }

const IORegisterSetting* MtkAddress(EDriveIndex drive, uint32_t address) {
    MtkInitialise(drive);
    const IORegisterSetting* r = Registers(drive);
    if (!r) return nullptr;
    const uint8_t h = MtkHigh(address);
    PortWrite(r->write.features, static_cast<uint8_t>((address >> 17) & 7));
    PortWrite(r->write.sectorCount, static_cast<uint8_t>(h | 0x15));
    PortWrite(r->write.cylinderLow, Low(address));
    PortWrite(r->write.cylinderHigh, High(address));
    WaitPort(r->read.status, [](uint8_t v) { return v == kMtkAddressReady; });
    return r;
}

void MtkWriteFlashByte(EDriveIndex drive, uint32_t address, uint8_t value) {
    const IORegisterSetting* r = MtkAddress(drive, address);
    if (!r) return;
    const uint8_t h = MtkHigh(address);
    PortWrite(r->write.sectorNumber, value);
    PortWrite(r->write.sectorCount, static_cast<uint8_t>(h | 0x20));
    PortWrite(r->write.sectorCount, static_cast<uint8_t>(h | 0x42));
    PortWrite(r->write.sectorCount, static_cast<uint8_t>(h | 0x01));
}

uint8_t MtkReadFlashByte(EDriveIndex drive, uint32_t address) {
    const IORegisterSetting* r = MtkAddress(drive, address);
    if (!r) return 0;
    const uint8_t h = MtkHigh(address);
    PortWrite(r->write.sectorCount, static_cast<uint8_t>(h | 0x20));
    PortWrite(r->write.sectorCount, static_cast<uint8_t>(h | 0x08));
    return PortRead(r->read.sectorNumber);
}

bool MtkReadFlashBytes(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool) {
    const size_t n = std::min<size_t>(length, buffer.size());
    for (size_t a = 0; a < n; ++a) buffer[a] = MtkReadFlashByte(drive, static_cast<uint32_t>(a));
    return true;
}

// --- ALI and ALI2 ---------------------------------------------------------

void AliInitialise(EDriveIndex drive) {
    const IORegisterSetting* r = Registers(drive);
    if (!r) return;
    EnterFlashMode(*r, kAliFlashMode);
    WaitNotBusy(*r);
}

uint8_t AliBank(uint32_t address) { return static_cast<uint8_t>(0x2C + ((address >> 16) & 3)); }
uint8_t Ali2Bank(uint32_t address) { return static_cast<uint8_t>(0xF8 + ((address >> 16) & 7)); }

void AliWriteWithBank(EDriveIndex drive, uint32_t address, uint8_t value, uint8_t bank) {
    AliInitialise(drive);
    const IORegisterSetting* r = Registers(drive);
    if (!r) return;
    PortWrite(r->write.features, 0x00);
    PortWrite(r->write.sectorCount, bank);
    PortWrite(r->write.cylinderLow, Low(address));
    PortWrite(r->write.cylinderHigh, High(address));
    PortWrite(r->write.command, kAliWrite);
    WaitDataRequest(*r);
    PortWrite(r->write.data, value);
    DelayUs(1);
}

uint8_t AliReadWithBank(EDriveIndex drive, uint32_t address, uint8_t bank) {
    AliInitialise(drive);
    const IORegisterSetting* r = Registers(drive);
    if (!r) return 0;
    PortWrite(r->write.features, 0xFF);
    PortWrite(r->write.sectorCount, bank);
    PortWrite(r->write.cylinderLow, Low(address));
    PortWrite(r->write.cylinderHigh, High(address));
    PortWrite(r->write.command, kAliRead);
    WaitDataRequest(*r);
    // The controller hands out a whole block; the byte asked for is its first.
    const uint8_t value = PortRead(r->read.data);
    for (uint32_t i = 1; i < kAliBlock; ++i) PortRead(r->read.data);
    return value;
}

void AliWriteFlashByte(EDriveIndex d, uint32_t a, uint8_t v) { AliWriteWithBank(d, a, v, AliBank(a)); }
uint8_t AliReadFlashByte(EDriveIndex d, uint32_t a) { return AliReadWithBank(d, a, AliBank(a)); }
void Ali2WriteFlashByte(EDriveIndex d, uint32_t a, uint8_t v) { AliWriteWithBank(d, a, v, Ali2Bank(a)); }
uint8_t Ali2ReadFlashByte(EDriveIndex d, uint32_t a) { return AliReadWithBank(d, a, Ali2Bank(a)); }

// Block reads name the bank in the sector count, one 64 KB bank at a time.
bool ReadBlocks(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, uint8_t (*bankCode)(uint32_t)) {
    const uint32_t total = static_cast<uint32_t>(std::min<size_t>(length, buffer.size()));
    for (uint32_t bank = 0; bank * kBank < total; ++bank) {
        const uint32_t part = std::min(kBank, total - bank * kBank);
        for (uint32_t o = 0; o < part; o += kAliBlock) {
            const uint32_t count = std::min(kAliBlock, part - o);
            AliInitialise(drive);
            const IORegisterSetting* r = Registers(drive);
            if (!r) return true;
            PortWrite(r->write.features, static_cast<uint8_t>(count - 1));
            PortWrite(r->write.sectorCount, bankCode(bank * kBank));
            PortWrite(r->write.cylinderLow, Low(o));
            PortWrite(r->write.cylinderHigh, High(o));
            PortWrite(r->write.command, kAliRead);
            WaitDataRequest(*r);
            uint8_t* out = buffer.data() + bank * kBank + o;
            for (uint32_t i = 0; i < count; ++i) out[i] = PortRead(r->read.data);
        }
    }
    return true;
}

bool AliReadFlashBytes(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool) {
    return ReadBlocks(drive, length, buffer, &AliBank);
}

// An ALI2 controller's block read is the ALI one, and its first four banks
// are read with the ALI codes 0x2C to 0x2F. Those codes reach no further than
// 256 KB (the bank number is taken AND 3, so they would hand back the low
// banks a second time); above that the ALI2's own code 0xF8 + bank, the one
// its byte routines use, reaches the upper half of an eight-bank chip.
uint8_t Ali2BlockBank(uint32_t address) { return (address >> 16) < 4 ? AliBank(address) : Ali2Bank(address); }

bool Ali2ReadFlashBytes(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool) {
    return ReadBlocks(drive, length, buffer, &Ali2BlockBank);
}

// --- MTK2 serial flash ------------------------------------------------------

void Mtk2Initialise(EDriveIndex drive) {
    const IORegisterSetting* r = Registers(drive);
    if (!r) return;
    EnterFlashMode(*r, kMtkFlashMode);
    g_modeByte = PortRead(r->read.status);
    if (g_modeByte & kBusy) WaitNotBusy(*r);
}

bool DirectLayout() { return g_modeByte == kDirectLayout; }

// Points the controller at byte i of its command buffer.
void SelectBufferByte(const IORegisterSetting& r, uint32_t i, const uint8_t* value) {
    if (DirectLayout()) {
        PortWrite(r.write.cylinderLow, Low(i));
        PortWrite(r.write.cylinderHigh, High(i));
        if (value) PortWrite(r.write.sectorNumber, *value);
        PortWrite(r.write.device, r.deviceSelect);
    } else {
        const uint32_t w = kBufferWindow + i;
        PortWrite(r.write.cylinderHigh, High(w));
        PortWrite(r.write.cylinderLow, Low(w));
        if (value) PortWrite(r.write.sectorNumber, *value);
        PortWrite(r.write.device, static_cast<uint8_t>(r.deviceSelect + ((w >> 16) & 0x0F)));
    }
}

void WriteBufferByte(const IORegisterSetting& r, uint32_t i, uint8_t value) {
    SelectBufferByte(r, i, &value);
    PortWrite(r.write.command, kSerialWriteBuffer);
    WaitNotBusy(r);
}

uint8_t ReadBufferByte(const IORegisterSetting& r, uint32_t i) {
    SelectBufferByte(r, i, nullptr);
    PortWrite(r.write.command, kSerialReadBuffer);
    WaitNotBusy(r);
    return PortRead(r.read.sectorNumber);
}

void StartTransfer(const IORegisterSetting& r, uint32_t out, uint32_t in) {
    if (DirectLayout()) {
        PortWrite(r.write.features, High(out));
        PortWrite(r.write.sectorCount, Low(out));
        PortWrite(r.write.cylinderLow, High(in));
        PortWrite(r.write.cylinderHigh, Low(in));
    } else {
        PortWrite(r.write.features, Low(out));
        PortWrite(r.write.sectorCount, High(out));
        PortWrite(r.write.sectorNumber, 0);
        PortWrite(r.write.cylinderLow, Low(in));
        PortWrite(r.write.cylinderHigh, High(in));
        PortWrite(r.write.device, r.deviceSelect);
    }
    PortWrite(r.write.command, kSerialStart);
    WaitNotBusy(r);
}

void CompleteTransfer(const IORegisterSetting& r) {
    PortWrite(r.write.device, r.deviceSelect);
    PortWrite(r.write.command, kSerialComplete);
    WaitNotBusy(r);
}

bool Mtk2SerialCommand(EDriveIndex drive, std::span<const uint8_t> out, std::span<uint8_t> in) {
    const IORegisterSetting* r = Registers(drive);
    if (!r || g_fault) return false;
    const auto o = static_cast<uint32_t>(out.size());
    const auto n = static_cast<uint32_t>(in.size());
    for (uint32_t i = 0; i < o && !g_fault; ++i) WriteBufferByte(*r, i, out[i]);
    StartTransfer(*r, o, n);
    CompleteTransfer(*r);
    for (uint32_t i = 0; i < n && !g_fault; ++i) in[i] = ReadBufferByte(*r, o + i);
    return !g_fault;
}

}  // namespace

void SelectIdeAccess(uint8_t ideFlashType) {
    switch (ideFlashType) {
    case kIdeMtk:
        g_access.initialise = &MtkInitialise;
        g_access.finish = &Finish;
        g_access.writeFlashByte = &MtkWriteFlashByte;
        g_access.readFlashByte = &MtkReadFlashByte;
        g_access.readFlashBytes = &MtkReadFlashBytes;
        break;
    case kIdeAli:
        g_access.initialise = &AliInitialise;
        g_access.finish = &Finish;
        g_access.writeFlashByte = &AliWriteFlashByte;
        g_access.readFlashByte = &AliReadFlashByte;
        g_access.readFlashBytes = &AliReadFlashBytes;
        break;
    case kIdeAli2:
        g_access.initialise = &AliInitialise;
        g_access.finish = &Finish;
        g_access.writeFlashByte = &Ali2WriteFlashByte;
        g_access.readFlashByte = &Ali2ReadFlashByte;
        g_access.readFlashBytes = &Ali2ReadFlashBytes;
        break;
    case kIdeMtk2:
        g_access.initialise = &Mtk2Initialise;
        g_access.finish = &Finish;
        g_access.serialCommand = &Mtk2SerialCommand;
        break;
    default:
        break;
    }
    Print("\r");
}

const SIdeAccess& IdeAccess() { return g_access; }

void ResetIdeAccess() {
    g_access = {};
    g_modeByte = kInitialModeByte;
}

uint8_t SerialModeByte() { return g_modeByte; }

void IdeInitialise(EDriveIndex drive) {
    if (g_access.initialise) g_access.initialise(drive);
}

void IdeFinish(EDriveIndex drive) {
    if (!g_access.finish) return;
    // Releasing the channel must happen even after a timed-out wait: the
    // fault stays recorded, only this one last wait gets its own bound.
    std::optional<std::string> fault = std::move(g_fault);
    g_fault.reset();
    g_access.finish(drive);
    if (fault) g_fault = std::move(fault);
}

void WriteFlashByte(EDriveIndex drive, uint32_t address, uint8_t value) {
    if (g_access.writeFlashByte) g_access.writeFlashByte(drive, address, value);
}

uint8_t ReadFlashByte(EDriveIndex drive, uint32_t address) {
    return g_access.readFlashByte ? g_access.readFlashByte(drive, address) : 0;
}

bool ReadFlashBytes(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool silent) {
    return g_access.readFlashBytes ? g_access.readFlashBytes(drive, length, buffer, silent) : false;
}

bool SerialCommand(EDriveIndex drive, std::span<const uint8_t> out, std::span<uint8_t> in) {
    return g_access.serialCommand ? g_access.serialCommand(drive, out, in) : false;
}

const std::optional<std::string>& IdeAccessFault() { return g_fault; }
void SetIdeAccessFault(std::string text) {
    if (!g_fault) g_fault = std::move(text);
}
void ClearIdeAccessFault() { g_fault.reset(); }

void DelayUs(int32_t microseconds) { TPerfTimer(1000000).Delay(microseconds); }

}  // namespace jv
