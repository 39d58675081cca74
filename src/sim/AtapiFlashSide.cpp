// The drive firmware's side of the ATAPI flash protocols: it takes an image
// in pieces, checks what the protocol lets it check, programs its flash and
// restarts into the new firmware, reporting progress in its sense data
// meanwhile.
#include <algorithm>
#include <cstring>

#include "package/Firmware.h"
#include "package/FirmwareImage.h"
#include "sim/VirtualDrive.h"
#include "util/Tool.h"

namespace jv::sim {

namespace {

constexpr uint8_t kDirOut = 0x10;
constexpr uint32_t kBlock = 0x10000;
constexpr uint32_t kReadBlockLength = 256;
constexpr uint32_t kKernelPieceLength = 128;
constexpr uint32_t kAliPageLength = 16384;
constexpr uint32_t kHalfPage = 0x8000;
constexpr uint32_t kMaxPageLength = 0xFFFE;
// A new drive's firmware: one bank, whatever the flash holds beyond it erased.
constexpr uint32_t kFactoryImageLength = 0x10000;
// After the last block the drive verifies for a while, still reporting it.
constexpr uint64_t kSettleMs = 1000;
constexpr uint8_t kMtk5HighFlag = 0x10;
constexpr uint8_t kMtk5SaveFlag = 0x10;

constexpr SSenseCode kInvalidOpcode{0x05, 0x20, 0x00};
constexpr SSenseCode kInvalidField{0x05, 0x24, 0x00};
// A start the firmware will not take: invalid field in the parameter list.
constexpr SSenseCode kStartRefused{0x05, 0x26, 0x00};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint16_t Sum16(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint16_t>(sum);
}

using Set = unsigned;
constexpr Set Bit(int n) { return 1u << n; }
constexpr Set kPage = Bit(0), kRead = Bit(1), kKernel = Bit(2), kAli = Bit(3), kMode1 = Bit(4), kOffsets = Bit(5),
              kDownload = Bit(6);

// What each controller's firmware understands. Every MTK-derived firmware
// can read its flash back in 256-byte blocks, ALI's included.
constexpr Set kSpoken[] = {
    0x7Fu,                                          // Any
    kPage | kRead,                                  // Mtk
    kAli | kRead,                                   // Ali
    kPage | kRead | kKernel,                        // Mtk2
    kPage | kRead | kKernel,                        // Mtk3
    kPage | kRead,                                  // Mtk4
    kMode1 | kOffsets | kRead,                      // Mtk5
    kPage | kRead,                                  // Mtk6
    kOffsets | kRead,                               // Mtk7
    kDownload,                                      // Philips
};

// The ATAPI flash type whose rules place the firmware's information block.
constexpr uint8_t kInfoMode[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 0};

}  // namespace

bool VirtualDrive::Speaks(ECommandSet set) const {
    return (kSpoken[static_cast<size_t>(config_.controller)] & Bit(static_cast<int>(set))) != 0;
}

VirtualDrive::SReply VirtualDrive::Refuse(ECommandSet set) const {
    // An operation code the firmware does not know at all is an invalid
    // command; a vendor page or mode it does not know is an invalid field.
    const Set spoken = kSpoken[static_cast<size_t>(config_.controller)];
    switch (set) {
    case ECommandSet::Ali:
    case ECommandSet::Download:
        return Check(kInvalidOpcode);
    case ECommandSet::WriteBufferMode1:
    case ECommandSet::WriteBufferOffsets:
        return Check(spoken & (kMode1 | kOffsets) ? kInvalidField : kInvalidOpcode);
    default:
        return Check(kInvalidField);
    }
}

// ---- staging ----

void VirtualDrive::Stage(uint32_t address, const uint8_t* data, uint32_t count) {
    if (staging_.size() != flash_.Size()) staging_.assign(flash_.Size(), 0xFF);
    std::memcpy(staging_.data() + address, data, count);
    staged_[address] = count;
}

bool VirtualDrive::TakeStart(SReply& refusal) {
    switch (config_.flashStart) {
    case EFlashStart::Refused:
        ClearStaging();
        refusal = Check(kStartRefused);
        return false;
    case EFlashStart::Held:
        holdAnswer_ = true;
        return true;
    case EFlashStart::Answered:
    default:
        return true;
    }
}

void VirtualDrive::ClearStaging() {
    staged_.clear();
    pagesSeen_.fill(false);
    pageCount_ = 0;
    halfPageOpen_ = -1;
    halfPages_ = false;
    aliNextPage_ = 1;
    aliPageCount_ = 0;
}

uint16_t VirtualDrive::StagedSum() const {
    uint32_t sum = 0;
    for (auto [address, count] : staged_) sum += Sum16(std::span(staging_).subspan(address, count));
    return static_cast<uint16_t>(sum);
}

bool VirtualDrive::Burn(uint32_t address, std::span<const uint8_t> data) {
    if (config_.powerLossAfter >= 0) {
        const auto budget = static_cast<uint64_t>(config_.powerLossAfter);
        const uint64_t left = budget > programmedBytes_ ? budget - programmedBytes_ : 0;
        if (data.size() > left) {
            flash_.Program(address, data.first(static_cast<size_t>(left)));
            programmedBytes_ += left;
            return false;
        }
    }
    flash_.Program(address, data);
    programmedBytes_ += data.size();
    return true;
}

bool VirtualDrive::ProgramStaged() {
    // Erase first, then program: a flash cut short leaves erased cells behind,
    // not the old firmware.
    // Each sector once, however many staged pieces share it; what the host
    // did not send in a sector it touches is the drive's to keep, so it is
    // written back at once (a piece saved on its own must not wipe its
    // neighbours).
    uint32_t erasedUpTo = 0;
    bool erasedAny = false;
    std::vector<uint8_t> kept;
    for (auto [address, count] : staged_) {
        if (count == 0) continue;
        for (uint32_t at = address - address % flash_.SectorSize(); at < address + count; at += flash_.SectorSize()) {
            if (erasedAny && at < erasedUpTo) continue;
            const uint32_t end = std::min(flash_.Size(), at + flash_.SectorSize());
            const auto cells = flash_.Bytes().subspan(at, end - at);
            kept.assign(cells.begin(), cells.end());
            flash_.EraseSector(at);
            erasedAny = true;
            erasedUpTo = at + flash_.SectorSize();
            uint32_t gap = at;
            for (auto [from, length] : staged_) {
                if (length == 0 || from + length <= gap) continue;
                if (from >= end) break;
                if (from > gap) flash_.Program(gap, std::span<const uint8_t>(kept).subspan(gap - at, from - gap));
                gap = std::max(gap, std::min(end, from + length));
            }
            if (gap < end) flash_.Program(gap, std::span<const uint8_t>(kept).subspan(gap - at, end - gap));
        }
    }
    // The block the drive boots from goes last, so that a flash cut short
    // leaves no firmware that looks whole.
    bool powered = true;
    for (bool bootBlock : {false, true}) {
        for (auto [address, count] : staged_) {
            if ((address < kBlock) != bootBlock || !powered) continue;
            powered = Burn(address, std::span<const uint8_t>(staging_).subspan(address, count));
        }
    }
    staged_.clear();
    SaveFlashFile();
    if (!powered) LosePower();
    return powered;
}

void VirtualDrive::LosePower() {
    // What was written stays written; the boot code finds no firmware to run.
    job_ = {};
    boot_ = EBoot::Broken;
    Restart(now_, true);
}

// ---- flash jobs ----

void VirtualDrive::BeginJob(uint32_t firstBlock, uint32_t endBlock, EJobEnd after) {
    job_.active = true;
    job_.start = now_;
    job_.end = now_ + static_cast<uint64_t>(std::max<int64_t>(config_.blockProgramMs, 0)) * (endBlock - firstBlock);
    job_.settleEnd = job_.end + (after == EJobEnd::Restart ? 0 : kSettleMs);
    job_.firstBlock = firstBlock;
    job_.endBlock = endBlock;
    job_.after = after;
}

SSenseCode VirtualDrive::FlashCondition(uint64_t now) const {
    const uint64_t perBlock = static_cast<uint64_t>(std::max<int64_t>(config_.blockProgramMs, 1));
    if (config_.flashStaysBusy || now < job_.end) {
        const uint64_t elapsed = now > job_.start ? now - job_.start : 0;
        const uint64_t blocks = job_.endBlock > job_.firstBlock ? job_.endBlock - job_.firstBlock : 1;
        const uint64_t index = std::min<uint64_t>(elapsed / perBlock, blocks - 1);
        SSenseCode sense{0x02, 0x04, 0x08};
        sense.block = static_cast<uint8_t>(job_.firstBlock + index);
        sense.address = static_cast<uint16_t>((elapsed % perBlock) * kBlock / perBlock);
        return sense;
    }
    // Done writing: the last block number stays until the host has seen it.
    SSenseCode sense{0x02, 0x04, 0x07};
    sense.block = static_cast<uint8_t>(job_.endBlock);
    return sense;
}

void VirtualDrive::SettleJob(uint64_t now) {
    if (!job_.active || config_.flashStaysBusy || now < job_.end) return;
    if (job_.after == EJobEnd::Restart) {
        FinishFlash(job_.end);
    } else if (job_.after == EJobEnd::Ready && now >= job_.settleEnd) {
        job_ = {};
    }
}

void VirtualDrive::FinishFlash(uint64_t at) {
    const bool announce = job_.announce;
    job_ = {};
    ++flashCount_;
    if (bootAttemptsLeft_ > 0) {
        --bootAttemptsLeft_;
        boot_ = EBoot::Ready;
    } else {
        boot_ = EBoot::None;
        TakeIdentityFromFlash();
    }
    Restart(at, announce);
}

bool VirtualDrive::TakeIdentityFromFlash() {
    auto bytes = flash_.Bytes();
    const uint8_t mode = kInfoMode[static_cast<size_t>(config_.controller)];
    std::string version = GetImageVersion(bytes, mode);
    if (version.empty()) return false;
    config_.revision = version;
    if (auto date = GetImageDateCode(bytes, mode); !date.empty()) config_.dateCode = date;
    if (auto model = GetImageModelName(bytes); !model.empty()) {
        config_.vendor = model.substr(0, 8);
        config_.product = model.size() > 8 ? model.substr(8) : std::string();
    }
    if (auto id = GetImageHardwareId(bytes); !id.empty()) {
        config_.hardwareId = id;
        config_.inquiryHardwareId = id;
    }
    return true;
}

void VirtualDrive::LoadFlashFile() {
    const uint32_t size = config_.flashFile.empty() ? 0 : GetFileLength(config_.flashFile);
    if (size == 0) {
        FactoryFlash();
        return;
    }
    std::vector<uint8_t> bytes(std::min(size, flash_.Size()));
    if (!ReadFileBinary(config_.flashFile, static_cast<uint32_t>(bytes.size()), bytes.data())) return;
    flash_.EraseAll();
    flash_.Program(0, bytes);
    // The firmware it holds decides who the drive is; none that can run
    // leaves the drive in its boot code. A twin answers as its drive did.
    if (config_.capturedFlash && *config_.capturedFlash == FlashFingerprint(flash_.Bytes())) return;
    if (!TakeIdentityFromFlash()) boot_ = EBoot::Broken;
}

void VirtualDrive::FactoryFlash() {
    // A drive answers what its firmware says; a new one's firmware says what
    // the rig does, so that a backup of it holds what the drive reports.
    const auto size = std::min<uint32_t>(flash_.Size(), kFactoryImageLength);
    const std::string& hardwareId =
        config_.hardwareIdPage == EHardwareIdPage::Zerv ? config_.hardwareId : config_.inquiryHardwareId;
    const std::vector<uint8_t> image = config_.flashBlank
        ? std::vector<uint8_t>()
        : BuildFirmwareImage({config_.vendor, config_.product, config_.revision, config_.dateCode, hardwareId}, size);
    // A flash too small for the firmware holds none either.
    if (image.empty()) {
        boot_ = EBoot::Broken;
        return;
    }
    flash_.Program(0, image);
}

void VirtualDrive::SaveFlashFile() const {
    if (config_.flashFile.empty()) return;
    auto bytes = flash_.Bytes();
    WriteFileBinary(config_.flashFile, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// ---- the page protocol ----

VirtualDrive::SReply VirtualDrive::WriteFlashPage(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                                  uint32_t length) {
    if (!Speaks(ECommandSet::Page)) return Refuse(ECommandSet::Page);
    if (cdb[6] != 0x05 || direction != kDirOut) return Check(kInvalidField);
    const uint8_t number = cdb[7];
    const uint32_t field = Be16(cdb + 8);
    uint32_t address = number * kBlock;
    uint32_t count = field;
    // MTK6 sends a page as two halves, the field saying which. A drive that
    // speaks every protocol tells them apart by the order: a field of 0 (no
    // page length) opens a page's halves, and 0x8000 right behind it on the
    // same page is its second half; 0x8000 anywhere else is a page length.
    const bool mtk6 = config_.controller == EController::Mtk6;
    const bool opensHalves = (mtk6 || config_.controller == EController::Any) && field == 0 && length >= kHalfPage;
    const bool secondHalf = field == kHalfPage && (mtk6 || halfPageOpen_ == number);
    halfPageOpen_ = opensHalves ? number : -1;
    if (opensHalves || secondHalf) {
        halfPages_ = true;
        address += field;
        count = kHalfPage;
    } else if (mtk6 || field == 0 || field > kMaxPageLength) {
        return Check(kInvalidField);
    }
    if (length < count || address >= flash_.Size() || count > flash_.Size() - address) {
        halfPageOpen_ = -1;
        return Check(kInvalidField);
    }
    Stage(address, data, count);
    if (!pagesSeen_[number]) {
        pagesSeen_[number] = true;
        ++pageCount_;
    }
    return Good(count);
}

VirtualDrive::SReply VirtualDrive::StartFlash(const uint8_t* cdb, uint8_t direction, uint8_t*, uint32_t length) {
    if (!Speaks(ECommandSet::Page)) return Refuse(ECommandSet::Page);
    // The drive checks that it has every page the host counted and that
    // they add up to the package's sum; otherwise it keeps its firmware.
    const bool counted = pageCount_ > 0 && cdb[7] == static_cast<uint8_t>(0xE0 + pageCount_);
    const bool summed = StagedSum() == Be16(cdb + 10);
    if (direction != kDirOut || length < 128 || !counted || !summed) {
        ClearStaging();
        return Check(kInvalidField);
    }
    if (SReply refusal; !TakeStart(refusal)) return refusal;
    uint32_t first = 0xFF, end = 0;
    for (uint32_t i = 0; i < pagesSeen_.size(); ++i) {
        if (!pagesSeen_[i]) continue;
        first = std::min(first, i);
        end = i + 1;
    }
    // MTK6's firmware does not announce its own restart, and its host does
    // not expect it to.
    const bool announce = !halfPages_;
    if (!ProgramStaged()) return Good(128);
    ClearStaging();
    BeginJob(first, end, EJobEnd::Restart);
    job_.announce = announce;
    return Good(128);
}

VirtualDrive::SReply VirtualDrive::ReadFlashBlock(const uint8_t* cdb, uint8_t, uint8_t* data, uint32_t length) {
    if (!Speaks(ECommandSet::ReadBlock)) return Refuse(ECommandSet::ReadBlock);
    const uint32_t address = cdb[9] * kBlock + Be16(cdb + 6);
    if (address >= flash_.Size()) return Check(kInvalidField);
    uint8_t reply[kReadBlockLength];
    for (uint32_t i = 0; i < kReadBlockLength; ++i) reply[i] = flash_.Read(address + i);
    if (config_.shortRead) return Good(Reply(reply, kReadBlockLength, data, length / 2));
    return Good(Reply(reply, kReadBlockLength, data, length));
}

VirtualDrive::SReply VirtualDrive::WriteKernelPiece(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                                    uint32_t length) {
    if (!Speaks(ECommandSet::KernelPiece)) return Refuse(ECommandSet::KernelPiece);
    const uint32_t address = cdb[7] * kBlock + Be16(cdb + 8);
    if (direction != kDirOut || length < kKernelPieceLength || address >= flash_.Size() ||
        kKernelPieceLength > flash_.Size() - address)
        return Check(kInvalidField);
    // The firmware rewrites the sector around the piece, keeping the rest.
    const uint32_t sector = address - address % flash_.SectorSize();
    const uint32_t span = std::min(flash_.SectorSize(), flash_.Size() - sector);
    auto cells = flash_.Bytes().subspan(sector, span);
    std::vector<uint8_t> copy(cells.begin(), cells.end());
    std::memcpy(copy.data() + (address - sector), data, kKernelPieceLength);
    flash_.EraseSector(sector);
    const bool powered = Burn(sector, copy);
    SaveFlashFile();
    if (!powered) {
        LosePower();
        return Check({0x06, 0x29, 0x00});
    }
    return Good(kKernelPieceLength);
}

// ---- ALI ----

VirtualDrive::SReply VirtualDrive::WriteAliPage(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                                uint32_t length) {
    if (!Speaks(ECommandSet::Ali)) return Refuse(ECommandSet::Ali);
    const uint8_t signature[] = {0x07, 0x42, 0x45, 0x4E, 0x51};
    const uint32_t page = cdb[10];
    const uint32_t count = cdb[11];
    if (std::memcmp(cdb + 1, signature, sizeof signature) != 0 || direction != kDirOut ||
        length < kAliPageLength || page == 0 || page > count || count * kAliPageLength > flash_.Size())
        return Check(kInvalidField);
    if (page == 1) {
        ClearStaging();
        aliPageCount_ = count;
    }
    // A page out of order or with a bad sum spoils the whole download.
    const bool inOrder = page == aliNextPage_ && count == aliPageCount_;
    const bool pageSum = Sum16(std::span<const uint8_t>(data, kAliPageLength)) == Be16(cdb + 6);
    if (!inOrder || !pageSum) {
        ClearStaging();
        return Check(kInvalidField);
    }
    Stage((page - 1) * kAliPageLength, data, kAliPageLength);
    ++aliNextPage_;
    if (page < count) return Good(kAliPageLength);
    if (StagedSum() != Be16(cdb + 8)) {
        ClearStaging();
        return Check(kInvalidField);
    }
    if (SReply refusal; !TakeStart(refusal)) return refusal;
    const uint32_t blocks = (count * kAliPageLength + kBlock - 1) / kBlock;
    if (!ProgramStaged()) return Good(kAliPageLength);
    ClearStaging();
    BeginJob(0, blocks, EJobEnd::Restart);
    return Good(kAliPageLength);
}

// ---- WRITE BUFFER ----

VirtualDrive::SReply VirtualDrive::WriteBuffer(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                               uint32_t length) {
    const uint8_t mode = cdb[1] & 0x1F;
    const uint32_t offset = static_cast<uint32_t>(cdb[3] << 16 | cdb[4] << 8 | cdb[5]);
    const uint32_t count = static_cast<uint32_t>(cdb[6] << 16 | cdb[7] << 8 | cdb[8]);
    switch (mode) {
    case 0x01:  // vendor mode: enter (id 1) or leave (id 0) download
        if (!Speaks(ECommandSet::WriteBufferMode1)) return Refuse(ECommandSet::WriteBufferMode1);
        downloadMode_ = cdb[2] != 0;
        return Good();
    case 0x06:  // download microcode with offsets
        if (!Speaks(ECommandSet::WriteBufferOffsets)) return Refuse(ECommandSet::WriteBufferOffsets);
        if (direction != kDirOut || count > length || offset > flash_.Size() || count > flash_.Size() - offset)
            return Check(kInvalidField);
        Stage(offset, data, count);
        return Good(count);
    case 0x07: {  // ... and save: the drive programs what it was given
        if (!Speaks(ECommandSet::WriteBufferOffsets)) return Refuse(ECommandSet::WriteBufferOffsets);
        // A save may carry the last piece itself, as a host that sends the
        // whole image in saving commands does; that piece is part of what
        // gets programmed, never dropped.
        const bool carries = direction == kDirOut && length > 0 && count > 0;
        if (carries) {
            if (count > length || offset > flash_.Size() || count > flash_.Size() - offset)
                return Check(kInvalidField);
            Stage(offset, data, count);
        }
        if (SReply refusal; !TakeStart(refusal)) return refusal;
        uint32_t first = UINT32_MAX, end = 0;
        for (auto [address, size] : staged_) {
            if (size == 0) continue;
            first = std::min(first, address / kBlock);
            end = std::max(end, (address + size - 1) / kBlock + 1);
        }
        // In a bare save the count field carries the progress flag; in a
        // carrying one it is the piece's length.
        const bool progress = (!carries && cdb[6] == kMtk5SaveFlag) || config_.controller == EController::Mtk5;
        if (progress) {
            // A megabyte at a time, reporting the block it is at; the upper
            // one first, after which the drive waits for the lower.
            if (staged_.empty()) return Check(kInvalidField);
            if (!ProgramStaged()) return Good();
            BeginJob(first, end, cdb[3] & kMtk5HighFlag ? EJobEnd::Ready : EJobEnd::AwaitAck);
            return Good();
        }
        if (!staged_.empty() && !ProgramStaged()) return Good();
        // Block 0 holds the code the drive boots: once a bare save wrote it,
        // the drive restarts into it. A host that sends its image in saving
        // pieces is not done after the first one: that drive runs the new
        // code from its next power-on.
        if (!carries && cdb[3] == 0 && end > 0) BeginJob(0, end, EJobEnd::Restart);
        return Good();
    }
    default:
        return Check(kInvalidField);
    }
}

}  // namespace jv::sim
