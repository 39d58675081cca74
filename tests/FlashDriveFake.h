#pragma once
// A drive that speaks the ATAPI flash protocols the way their drives answer
// them, reached through the real drive access object. It records every block
// (with the data a host sent) and can fail one command by position or every
// command of one operation code, so a test can walk the failure through each
// step of a protocol.
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "DriveRigFixture.h"
#include "drive/Winfunc.h"
#include "platform/DriveRoute.h"

namespace jv::testing {

struct SSentCommand {
    CommandBlock cdb;
    uint8_t direction;
    uint16_t length;
    std::vector<uint8_t> data;  // what a data-out command carried
};

using Sense18 = std::array<uint8_t, 18>;

inline Sense18 MakeSense(uint8_t byte2, uint8_t asc, uint8_t ascq, uint8_t byte4 = 0, uint16_t address = 0) {
    Sense18 s{};
    s[0] = 0x70;
    s[2] = byte2;
    s[4] = byte4;
    s[5] = static_cast<uint8_t>(address >> 8);
    s[6] = static_cast<uint8_t>(address);
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

struct SFlashDriveState {
    std::vector<SSentCommand> sent;
    uint32_t failAt = 0;        // this command (counted from 1) fails
    int failOpcode = -1;        // every command with this opcode fails
    int failWriteBufferMode = -1;  // every WRITE BUFFER of this mode fails
    Sense18 failSense = MakeSense(0x05, 0x24, 0x00);
    std::deque<Sense18> busy;   // TEST UNIT READY answers these before it passes
    std::deque<Sense18> senses; // REQUEST SENSE replies; all zero once used up
    std::deque<std::string> revisions{"1.00"};  // INQUIRY revisions; the last repeats
    std::string vendor = "ZERV    ";
    bool kernelReport = false;  // the vendor data query fails, leaving the report
    uint8_t kernelBank = 0;
    uint16_t kernelAddress = 0, kernelLength = 0;
    std::vector<uint8_t> flash = std::vector<uint8_t>(0x200000, 0xFF);
    bool checksumFeature = false;
    uint16_t checksumReply = 0;
    Sense18 lastSense{};

    size_t Count(uint8_t opcode) const {
        size_t n = 0;
        for (const auto& c : sent) n += c.cdb[0] == opcode;
        return n;
    }
};

class FlashDriveRoute final : public DriveRoute {
public:
    explicit FlashDriveRoute(std::shared_ptr<SFlashDriveState> state) : s_(std::move(state)) {}
    int Scan(std::span<SDriveEntry> table) override {
        CopyField(table[0].devicePath, "/dev/sr0");
        return 1;
    }
    void Select(const SDriveEntry&) override {}
    size_t CopySense(std::span<uint8_t> sense) const override {
        const size_t count = std::min(sense.size(), s_->lastSense.size());
        std::copy_n(s_->lastSense.begin(), count, sense.begin());
        return count;
    }
    // Every failure here comes with the drive's own sense.
    ECommandOutcome LastOutcome() const override {
        return ClassifyScsiStatus(good_ ? kScsiGood : kScsiCheckCondition, s_->lastSense);
    }

    const SCommandDetail& LastDetail() const override { return detail_; }

    uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) override {
        SSentCommand c{{}, direction, length, {}};
        std::copy(command, command + 12, c.cdb.begin());
        if (direction == kDirOut && data) c.data.assign(data, data + length);
        s_->sent.push_back(c);
        s_->lastSense = {};
        detail_ = SCommandDetail{};
        detail_.answered = true;
        const bool refusedMode = command[0] == 0x3B && (command[1] & 0x1F) == s_->failWriteBufferMode;
        good_ = false;
        if (s_->sent.size() == s_->failAt || command[0] == s_->failOpcode || refusedMode) return Check(s_->failSense);
        std::vector<uint8_t> reply;
        const bool good = Answer(c, reply);
        good_ = good;
        detail_.scsiStatus = good ? kScsiGood : kScsiCheckCondition;
        // A refused command may still leave data behind (the kernel report does).
        if (direction == kDirIn && data) {
            detail_.transferred = static_cast<uint32_t>(std::min<size_t>(reply.size(), length));
            std::copy_n(reply.begin(), detail_.transferred, data);
        } else if (direction == kDirOut && data) {
            detail_.transferred = length;
        }
        return good ? 1 : 2;
    }

private:
    uint8_t Check(const Sense18& sense) {
        s_->lastSense = sense;
        detail_.scsiStatus = kScsiCheckCondition;
        return 2;
    }
    bool Answer(const SSentCommand& c, std::vector<uint8_t>& reply) {
        SFlashDriveState& s = *s_;
        const auto& b = c.cdb;
        reply.assign(256, 0);
        switch (b[0]) {
        case 0x00:
            if (s.busy.empty()) return true;
            s.lastSense = s.busy.front();
            s.busy.pop_front();
            return false;
        case 0x03:
            if (!s.senses.empty()) {
                std::copy(s.senses.front().begin(), s.senses.front().end(), reply.begin());
                s.senses.pop_front();
            }
            return true;
        case 0x12: {
            std::copy(s.vendor.begin(), s.vendor.end(), reply.begin() + 8);
            std::copy(s.revisions.front().begin(), s.revisions.front().end(), reply.begin() + 32);
            if (s.revisions.size() > 1) s.revisions.pop_front();
            return true;
        }
        case 0x5A:
            if (b[2] == 0x38 && b[5] == 0xA3) {
                if (!s.kernelReport) return true;
                reply = {0x55, 0xDD, 0, 0, s.kernelBank, static_cast<uint8_t>(s.kernelAddress >> 8),
                         static_cast<uint8_t>(s.kernelAddress), static_cast<uint8_t>(s.kernelLength >> 8),
                         static_cast<uint8_t>(s.kernelLength)};
                s.lastSense = s.failSense;
                return false;
            }
            if (b[2] == 0x38 && b[5] == 0x11) {
                const size_t at = b[9] * 0x10000u + (b[6] << 8 | b[7]);
                reply.assign(s.flash.begin() + static_cast<long>(at), s.flash.begin() + static_cast<long>(at + 256));
                return true;
            }
            if (b[2] == 0x38 && b[5] == 0xA2) {
                std::copy(c.data.begin(), c.data.end(), s.flash.begin() + b[7] * 0x10000 + (b[8] << 8 | b[9]));
                return true;
            }
            if (b[2] == 0x34 && b[5] == 0x00) {
                reply = {'Z', 'E', 6, 0, 0, 0, static_cast<uint8_t>(s.checksumFeature ? 0x40 : 0), 0};
                return true;
            }
            if (b[2] == 0x34 && b[5] == 0x0B && b[6] == 0x00) {
                reply = {'Z', 'E', 6, 0, 0, 0, static_cast<uint8_t>(s.checksumReply >> 8),
                         static_cast<uint8_t>(s.checksumReply)};
                return true;
            }
            return true;
        default:
            return true;
        }
    }

    std::shared_ptr<SFlashDriveState> s_;
    bool good_ = false;
    SCommandDetail detail_;
};

// The fake drive as drive 0 of the machine, on a virtual clock and a
// recording console.
class FlashDriveTest : public DriveRigTest {
protected:
    void UseFake() {
        state_ = std::make_shared<SFlashDriveState>();
        ResetDriveAccessForTest(std::make_unique<FlashDriveRoute>(state_), true);
    }
    void SetUp() override {
        DriveRigTest::SetUp();
        UseFake();
    }
    const std::vector<SSentCommand>& Commands() const { return state_->sent; }
    // The blocks sent with this opcode and, for the vendor page, sub-code.
    std::vector<SSentCommand> Filter(uint8_t opcode, int subCode = -1) const {
        std::vector<SSentCommand> out;
        for (const auto& c : state_->sent)
            if (c.cdb[0] == opcode && (subCode < 0 || c.cdb[5] == subCode)) out.push_back(c);
        return out;
    }

    std::shared_ptr<SFlashDriveState> state_;
};

}  // namespace jv::testing
