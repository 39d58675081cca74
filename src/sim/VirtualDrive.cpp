#include "sim/VirtualDrive.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace jv::sim {

namespace {

constexpr uint8_t kDirIn = 0x08;
constexpr uint8_t kDirOut = 0x10;
constexpr uint32_t kDownloadBlock = 16384;

// Sense codes the drive answers with.
constexpr SSenseCode kInvalidOpcode{0x05, 0x20, 0x00};
constexpr SSenseCode kInvalidField{0x05, 0x24, 0x00};
constexpr SSenseCode kRemovalPrevented{0x05, 0x53, 0x02};
constexpr SSenseCode kBecomingReady{0x02, 0x04, 0x01};
constexpr SSenseCode kNoMediumTrayClosed{0x02, 0x3A, 0x01};
constexpr SSenseCode kNoMediumTrayOpen{0x02, 0x3A, 0x02};
constexpr SSenseCode kPowerOnReset{0x06, 0x29, 0x00};
constexpr SSenseCode kBootWaiting{0x02, 0x04, 0x00};

// Media event codes of GET EVENT STATUS NOTIFICATION.
constexpr uint8_t kEventNewMedia = 2;
constexpr uint8_t kEventMediaRemoval = 3;

void PutField(uint8_t* out, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) out[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

void MakeSense(SSense& sense, SSenseCode code, bool descriptor) {
    std::memset(sense.bytes, 0, sizeof sense.bytes);
    uint8_t* b = sense.bytes;
    if (!descriptor) {
        // Bytes 3-6 the information field, the progress in its low three.
        b[0] = 0x70;
        b[2] = code.key;
        b[4] = code.block;
        b[5] = static_cast<uint8_t>(code.address >> 8);
        b[6] = static_cast<uint8_t>(code.address);
        b[7] = 10;
        b[12] = code.asc;
        b[13] = code.ascq;
        return;
    }
    b[0] = 0x72;
    b[1] = code.key;
    b[2] = code.asc;
    b[3] = code.ascq;
    b[7] = 12;
    // The information descriptor: type 0, 10 more bytes, VALID, then the
    // 8-byte field whose low bytes hold the same progress.
    b[8] = 0x00;
    b[9] = 0x0A;
    b[10] = 0x80;
    b[17] = code.block;
    b[18] = static_cast<uint8_t>(code.address >> 8);
    b[19] = static_cast<uint8_t>(code.address);
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

VirtualDrive::VirtualDrive(SDriveConfig config)
    : config_(std::move(config)),
      trayOpen_(config_.trayOpen),
      disc_(config_.disc),
      locked_(config_.locked),
      flash_(config_.flashSize),
      ram_(0x10000, 0) {
    uint64_t now = NowMs();
    readyAtMs_ = config_.readyAfterMs < 0 ? UINT64_MAX : now + static_cast<uint64_t>(config_.readyAfterMs);
    trayOpenedMs_ = now;
    if (config_.bankReplies.empty()) config_.bankReplies.push_back(0);
    bootAttemptsLeft_ = config_.bootAttempts;
    LoadFlashFile();
    // One table entry per operation code; later protocols add their own.
    handlers_ = {
        {0x00, &VirtualDrive::TestUnitReady},  {0x03, &VirtualDrive::RequestSense},
        {0x12, &VirtualDrive::Inquiry},        {0x1B, &VirtualDrive::StartStopUnit},
        {0x1E, &VirtualDrive::PreventAllow},   {0x3B, &VirtualDrive::WriteBuffer},
        {0x4A, &VirtualDrive::GetEventStatus}, {0x5A, &VirtualDrive::ModeSense10},
        {0xDF, &VirtualDrive::VendorByte},     {0xFA, &VirtualDrive::DownloadBlock},
        {0xFD, &VirtualDrive::WriteAliPage},
    };
}

SCommandOutcome VirtualDrive::Execute(const uint8_t cdb[12], uint8_t direction, uint8_t* data, uint32_t length) {
    if (replay_) {
        ++commandCount_;
        return replay_->Command(cdb, direction, data, length, sense_);
    }
    now_ = NowMs();
    direction_ = direction;
    Advance(now_);
    SettleJob(now_);
    ++commandCount_;
    STranscriptEntry entry{};
    std::copy(cdb, cdb + 12, entry.cdb.begin());
    entry.direction = direction;
    entry.length = length;
    entry.atMs = now_;

    if (data == nullptr) length = 0;

    const SFault* fault = nullptr;
    for (const SFault& f : config_.faults) {
        bool hit = f.kind == SFault::EKind::NthCommand ? f.nth == commandCount_ : f.opcode == cdb[0];
        if (hit) {
            fault = &f;
            break;
        }
    }

    SReply reply;
    holdAnswer_ = false;
    if (fault && fault->noAnswer) {
        // Nothing came back, so there is no sense either; a later REQUEST
        // SENSE reports the drive's condition.
        return Unanswered(entry, false);
    }
    if (fault && fault->garble) {
        reply = Dispatch(cdb, direction, data, length);
        // Deterministic noise, so a failing test fails the same way again.
        uint32_t state = commandCount_ * 2654435761u + cdb[0];
        for (uint32_t i = 0; i < std::min(reply.transferred, length) && direction == kDirIn; ++i) {
            state = state * 1103515245u + 12345u;
            data[i] = static_cast<uint8_t>(state >> 16);
        }
    } else if (fault && !fault->held) {
        reply = Check(fault->sense);
    } else if (unitAttention_ && cdb[0] != 0x12 && cdb[0] != 0x03) {
        // The first command after a reset learns about it; INQUIRY and
        // REQUEST SENSE pass without clearing the condition.
        unitAttention_ = false;
        reply = Check(kPowerOnReset);
    } else {
        reply = Dispatch(cdb, direction, data, length);
    }
    // Taken (or refused) all the same, but the host hears nothing of it.
    if ((fault && fault->held) || holdAnswer_) return Unanswered(entry, true);

    if (reply.status == kStatusGood) {
        std::memset(sense_.bytes, 0, sizeof sense_.bytes);
        lastFailed_ = false;
    } else {
        MakeSense(sense_, reply.sense, config_.descriptorSense);
        pendingSense_ = reply.sense;
        lastFailed_ = true;
    }
    entry.scsiStatus = reply.status;
    transcript_.push_back(entry);
    return {reply.status, std::min(reply.transferred, length), false};
}

SCommandOutcome VirtualDrive::Unanswered(STranscriptEntry& entry, bool held) {
    std::memset(sense_.bytes, 0, sizeof sense_.bytes);
    lastFailed_ = false;
    holdAnswer_ = false;
    entry.timedOut = true;
    entry.scsiStatus = 0;
    transcript_.push_back(entry);
    return {0, 0, true, held};
}

VirtualDrive::SReply VirtualDrive::Dispatch(const uint8_t* cdb, uint8_t direction, uint8_t* data, uint32_t length) {
    auto it = handlers_.find(cdb[0]);
    if (it == handlers_.end()) return Check(kInvalidOpcode);
    // A booting drive answers only the commands that tell the host about it.
    // A restarting drive answers only the commands that tell the host about
    // it; one that is merely spinning up answers everything.
    bool answersWhileBooting = cdb[0] == 0x12 || cdb[0] == 0x03 || cdb[0] == 0x4A || cdb[0] == 0x00;
    // A drive busy flashing answers the same few.
    if (!answersWhileBooting && (Rebooting(now_) || job_.active)) return Check(Condition(now_));
    return (this->*(it->second))(cdb, direction, data, length);
}

uint32_t VirtualDrive::Reply(const uint8_t* source, uint32_t size, uint8_t* data, uint32_t length) const {
    // Data only flows the way the host set the transfer up.
    if (direction_ != kDirIn) return 0;
    uint32_t count = std::min(size, length);
    if (count) std::memcpy(data, source, count);
    return count;
}

void VirtualDrive::Advance(uint64_t now) {
    if (!trayOpen_) return;
    // A clock swapped for one that reads earlier counts as no time passed.
    uint64_t open = now > trayOpenedMs_ ? now - trayOpenedMs_ : 0;
    int64_t removeAt = config_.handRemovesDiscMs;
    int64_t closeAt = config_.handClosesTrayMs;
    if (disc_ && removeAt >= 0 && open >= static_cast<uint64_t>(removeAt) && (closeAt < 0 || removeAt <= closeAt)) {
        disc_ = false;
        pendingMediaEvent_ = kEventMediaRemoval;
    }
    if (closeAt >= 0 && open >= static_cast<uint64_t>(closeAt)) TrayMoved(false, now);
}

void VirtualDrive::TrayMoved(bool open, uint64_t now) {
    if (open == trayOpen_) return;
    trayOpen_ = open;
    if (open) {
        trayOpenedMs_ = now;
        if (disc_) pendingMediaEvent_ = kEventMediaRemoval;
    } else if (disc_) {
        pendingMediaEvent_ = kEventNewMedia;
    }
}

bool VirtualDrive::Rebooting(uint64_t now) const { return now < rebootedAtMs_; }

SSenseCode VirtualDrive::Condition(uint64_t now) const {
    if (now < readyAtMs_ || Rebooting(now)) return kBecomingReady;
    if (job_.active) return FlashCondition(now);
    // Boot code cannot read a disc; with a broken firmware it waits for a new one.
    if (boot_ == EBoot::Broken) return kBootWaiting;
    if (boot_ == EBoot::Ready) return kNoMediumTrayClosed;
    if (trayOpen_) return kNoMediumTrayOpen;
    if (!disc_) return kNoMediumTrayClosed;
    return {};
}

bool VirtualDrive::TrayOpen() {
    Advance(NowMs());
    return trayOpen_;
}

bool VirtualDrive::DiscPresent() {
    Advance(NowMs());
    return disc_;
}

bool VirtualDrive::Ready() {
    uint64_t now = NowMs();
    Advance(now);
    return Condition(now).key == 0;
}

void VirtualDrive::SetTrayOpen(bool open) { TrayMoved(open, NowMs()); }

void VirtualDrive::SetDisc(bool present) {
    if (present == disc_) return;
    disc_ = present;
    pendingMediaEvent_ = present ? kEventNewMedia : kEventMediaRemoval;
}

std::array<uint8_t, 96> VirtualDrive::InquiryData() const {
    std::array<uint8_t, 96> d{};
    d[0] = config_.peripheral;
    d[1] = 0x80;  // removable medium
    d[3] = 0x02;  // response data format
    d[4] = static_cast<uint8_t>(d.size() - 5);
    PutField(&d[8], config_.vendor, 8);
    PutField(&d[16], config_.product, 16);
    PutField(&d[32], boot_ != EBoot::None ? std::string("BOOT") : config_.revision, 4);
    PutField(&d[36], "", 20);  // vendor specific area
    PutField(&d[38], config_.inquiryHardwareId, 2);
    PutField(&d[40], config_.dateCode, 6);
    return d;
}

VirtualDrive::SReply VirtualDrive::TestUnitReady(const uint8_t*, uint8_t, uint8_t*, uint32_t) {
    SSenseCode condition = Condition(now_);
    return condition.key ? Check(condition) : Good();
}

VirtualDrive::SReply VirtualDrive::RequestSense(const uint8_t* cdb, uint8_t, uint8_t* data, uint32_t length) {
    // The sense of a command that just failed is still pending; otherwise the
    // drive reports its present condition.
    // The DESC bit chooses the format, whatever the mode page says.
    SSense report{};
    MakeSense(report, lastFailed_ ? pendingSense_ : Condition(now_), (cdb[1] & 0x01) != 0);
    uint32_t sent =
        Reply(report.bytes, std::min<uint32_t>(static_cast<uint32_t>(report.Length()), cdb[4]), data, length);
    // The host's acknowledgement of a finished write: the drive restarts
    // into the new firmware.
    if ((cdb[5] & 0x80) && job_.active && job_.after == EJobEnd::AwaitAck && now_ >= job_.end &&
        !config_.flashStaysBusy) {
        FinishFlash(now_);
    }
    return Good(sent);
}

VirtualDrive::SReply VirtualDrive::Inquiry(const uint8_t* cdb, uint8_t, uint8_t* data, uint32_t length) {
    uint32_t allocation = Be16(cdb + 3);
    if (cdb[1] & 0x01) {
        // Vital product data: only the list of supported pages.
        if (cdb[2] != 0x00) return Check(kInvalidField);
        const uint8_t pages[] = {config_.peripheral, 0x00, 0x00, 0x01, 0x00};
        return Good(Reply(pages, std::min<uint32_t>(sizeof pages, allocation), data, length));
    }
    if (cdb[2] != 0) return Check(kInvalidField);
    auto inquiry = InquiryData();
    return Good(Reply(inquiry.data(), std::min<uint32_t>(inquiry.size(), allocation), data, length));
}

VirtualDrive::SReply VirtualDrive::StartStopUnit(const uint8_t* cdb, uint8_t, uint8_t*, uint32_t) {
    bool loadEject = cdb[4] & 0x02;
    bool start = cdb[4] & 0x01;
    if (!loadEject) return Good();  // spindle only
    if (!start) {
        if (locked_) return Check(kRemovalPrevented);
        TrayMoved(true, now_);
        return Good();
    }
    if (!config_.trayMotor) return Check(kInvalidField);
    TrayMoved(false, now_);
    return config_.loadComplains ? Check(config_.loadSense) : Good();
}

VirtualDrive::SReply VirtualDrive::PreventAllow(const uint8_t* cdb, uint8_t, uint8_t*, uint32_t) {
    locked_ = cdb[4] & 0x01;
    return Good();
}

VirtualDrive::SReply VirtualDrive::GetEventStatus(const uint8_t* cdb, uint8_t, uint8_t* data, uint32_t length) {
    if (!(cdb[1] & 0x01)) return Check(kInvalidField);  // only polled operation
    uint32_t allocation = Be16(cdb + 7);
    constexpr uint8_t kSupported = 0x50;  // media and device busy classes
    uint8_t reply[8] = {0, 6, 0, kSupported, 0, 0, 0, 0};
    if (cdb[4] & 0x10) {
        reply[2] = 0x04;
        reply[4] = pendingMediaEvent_;
        reply[5] = static_cast<uint8_t>((trayOpen_ ? 0x01 : 0) | (disc_ ? 0x02 : 0));
        pendingMediaEvent_ = 0;
    } else if (cdb[4] & 0x40) {
        reply[2] = 0x06;  // device busy class: not busy
    } else {
        uint8_t none[4] = {0, 2, 0x80, kSupported};
        return Good(Reply(none, std::min<uint32_t>(sizeof none, allocation), data, length));
    }
    return Good(Reply(reply, std::min<uint32_t>(sizeof reply, allocation), data, length));
}

VirtualDrive::SReply VirtualDrive::ModeSense10(const uint8_t* cdb, uint8_t direction, uint8_t* data, uint32_t length) {
    // The "ZE" signature turns the operation into one of the vendor pages.
    if (cdb[3] == 0x5A && cdb[4] == 0x45) {
        if (cdb[2] == 0x38) return VendorPage38(cdb, direction, data, length);
        if (cdb[2] == 0x34) return VendorPage34(cdb, direction, data, length);
        return Check(kInvalidField);
    }
    uint8_t page = cdb[2] & 0x3F;
    if (page != 0x2A && page != 0x3F) return Check(kInvalidField);
    uint32_t allocation = Be16(cdb + 7);
    // Mode parameter header (8 bytes) and the capabilities page.
    uint8_t reply[8 + 34] = {};
    reply[1] = sizeof reply - 2;
    uint8_t* p = reply + 8;
    p[0] = 0x2A;
    p[1] = 32;
    p[2] = static_cast<uint8_t>(0x03 | (config_.dvd ? 0x08 : 0));  // CD-R, CD-RW, DVD-ROM read
    p[4] = 0x71;                                                 // audio play, multi-session
    p[6] = static_cast<uint8_t>(0x29 | (locked_ ? 0x02 : 0));    // tray, eject, lock
    return Good(Reply(reply, std::min<uint32_t>(sizeof reply, allocation), data, length));
}

VirtualDrive::SReply VirtualDrive::VendorPage38(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                                uint32_t length) {
    switch (cdb[5]) {
    case 0x10: {  // hardware id page
        if (config_.hardwareIdPage == EHardwareIdPage::Fails) return Check(kInvalidField);
        uint8_t reply[20] = {};
        const char* signature = config_.hardwareIdPage == EHardwareIdPage::Zerv ? "ZERV" : "ZE\0\0";
        std::memcpy(reply, signature, 4);
        PutField(reply + 18, config_.hardwareId, 2);
        return Good(Reply(reply, sizeof reply, data, length));
    }
    case 0xC0: {  // bank number
        size_t i = std::min(bankQuery_, config_.bankReplies.size() - 1);
        ++bankQuery_;
        uint8_t reply[4] = {config_.bankReplies[i], 0, 0, 0};
        return Good(Reply(reply, sizeof reply, data, length));
    }
    case 0xA0:  // image pages and the start of flashing
        return cdb[6] == 0x04 || (cdb[6] == 0x05 && Be16(cdb + 8) == 0x0080 && pageCount_ > 0 &&
                                  cdb[7] == static_cast<uint8_t>(0xE0 + pageCount_))
                   ? StartFlash(cdb, direction, data, length)
                   : WriteFlashPage(cdb, direction, data, length);
    case 0x11:
        return ReadFlashBlock(cdb, direction, data, length);
    case 0xA2:
        return WriteKernelPiece(cdb, direction, data, length);
    case 0xA3: {  // vendor data; a drive with a kernel fails it and leaves the report
        uint8_t reply[256] = {};
        if (config_.kernel.present) {
            reply[0] = 0x55;
            reply[1] = 0xDD;
            reply[4] = config_.kernel.bank;
            reply[5] = static_cast<uint8_t>(config_.kernel.address >> 8);
            reply[6] = static_cast<uint8_t>(config_.kernel.address);
            reply[7] = static_cast<uint8_t>(config_.kernel.length >> 8);
            reply[8] = static_cast<uint8_t>(config_.kernel.length);
            return Check(kInvalidField, Reply(reply, 16, data, length));
        }
        reply[0] = 'Z';
        reply[1] = 'E';
        return Good(Reply(reply, sizeof reply, data, length));
    }
    default:
        return Check(kInvalidField);
    }
}

VirtualDrive::SReply VirtualDrive::VendorPage34(const uint8_t* cdb, uint8_t, uint8_t* data, uint32_t length) {
    uint8_t reply[8] = {'Z', 'E', 6, 0, 0, 0, 0, 0};
    if (cdb[5] == 0x00) {  // feature bits: 1-8 in byte 5, 9-12 and 13 in byte 6
        uint16_t f = config_.features;
        for (int n = 1; n <= 8; ++n)
            if (f & (1u << n)) reply[5] = static_cast<uint8_t>(reply[5] | 1u << (n - 1));
        for (int n = 9; n <= 12; ++n)
            if (f & (1u << n)) reply[6] = static_cast<uint8_t>(reply[6] | 1u << (n - 9));
        if (f & (1u << 13)) reply[6] |= 0x40;
        return Good(Reply(reply, sizeof reply, data, length));
    }
    if (cdb[5] == 0x0B && cdb[6] == 0x00) {  // firmware checksums
        reply[2] = config_.checksum.length;
        reply[4] = static_cast<uint8_t>(config_.checksum.packageValue >> 8);
        reply[5] = static_cast<uint8_t>(config_.checksum.packageValue);
        // A drive that miscounts reports a sum that is not the one it took.
        uint16_t image = config_.checksum.imageValue;
        if (config_.wrongChecksum) image = static_cast<uint16_t>(image ^ 0x5A5A);
        reply[6] = static_cast<uint8_t>(image >> 8);
        reply[7] = static_cast<uint8_t>(image);
        return Good(Reply(reply, sizeof reply, data, length));
    }
    if (cdb[5] == 0x0B && cdb[6] == 0x01) {
        setChecksumA_ = Be16(cdb + 7);
        setChecksumB_ = Be16(cdb + 9);
        // Kept with the firmware: the next query reports what was set.
        config_.checksum.packageValue = setChecksumA_;
        config_.checksum.imageValue = setChecksumB_;
        return Good();
    }
    return Check(kInvalidField);
}

VirtualDrive::SReply VirtualDrive::VendorByte(const uint8_t* cdb, uint8_t, uint8_t* data, uint32_t length) {
    uint16_t address = Be16(cdb + 7);
    if (cdb[1] == 0x83) {
        uint8_t reply[255];
        for (uint32_t i = 0; i < sizeof reply; ++i) reply[i] = ram_[static_cast<uint16_t>(address + i)];
        return Good(Reply(reply, sizeof reply, data, length));
    }
    if (cdb[1] == 0x84) {
        ram_[address] = cdb[9];
        return Good();
    }
    return Check(kInvalidField);
}

VirtualDrive::SReply VirtualDrive::DownloadBlock(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                                 uint32_t length) {
    // FA b0 b1 c0 c1 i 01 b0 b1 c0 c1 n: the values are sent twice.
    uint16_t b = static_cast<uint16_t>(cdb[1] | cdb[2] << 8);
    uint16_t c = static_cast<uint16_t>(cdb[3] | cdb[4] << 8);
    uint32_t block = cdb[5];
    uint32_t count = cdb[11];
    if (!Speaks(ECommandSet::Download)) return Refuse(ECommandSet::Download);
    bool wellFormed = cdb[6] == 0x01 && std::equal(cdb + 1, cdb + 5, cdb + 7) && count > 0 && block < count;
    if (!wellFormed || direction != kDirOut || length < kDownloadBlock) return Check(kInvalidField);
    if (block == 0) {
        if (count * kDownloadBlock > flash_.Size()) return Check(kInvalidField);
        incoming_.assign(count * kDownloadBlock, 0xFF);
        blockCount_ = count;
        incomingB_ = b;
        incomingC_ = c;
    } else if (block != nextBlock_ || count != blockCount_ || b != incomingB_ || c != incomingC_ ||
               incoming_.empty()) {
        return Check(kInvalidField);
    }
    std::memcpy(incoming_.data() + block * kDownloadBlock, data, kDownloadBlock);
    nextBlock_ = block + 1;
    if (block + 1 < count) return Good(kDownloadBlock);
    // The last block: the drive writes its flash and restarts at once, so the
    // host never sees this command complete normally.
    downloaded_ = std::move(incoming_);
    incoming_.clear();
    downloadB_ = b;
    downloadC_ = c;
    flash_.Rewrite(0, downloaded_);
    SaveFlashFile();
    return Reboot();
}

VirtualDrive::SReply VirtualDrive::Reboot() {
    Restart(now_, true);
    return Check(kPowerOnReset);
}

void VirtualDrive::Restart(uint64_t at, bool announce) {
    ++rebootCount_;
    // Boot code alone comes up at once; the full firmware takes its time.
    int64_t takes = boot_ != EBoot::None ? std::min<int64_t>(config_.rebootMs, 1000) : config_.rebootMs;
    rebootedAtMs_ = at + static_cast<uint64_t>(std::max<int64_t>(takes, 0));
    locked_ = false;
    unitAttention_ = announce;
    incoming_.clear();
    nextBlock_ = 0;
    blockCount_ = 0;
    downloadMode_ = false;
    ClearStaging();
}

}  // namespace jv::sim
