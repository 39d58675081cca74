// The replayed drive of a rig (replay = FILE): answers from a trace, record
// by record, read as the program goes so a trace of millions of register
// accesses costs no more memory than one of a few commands.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/DriveRoute.h"
#include "sim/ReplaySource.h"
#include "sim/VirtualDrive.h"
#include "trace/TraceReader.h"

namespace jv::sim {

namespace {

using trace::ENext;
using trace::ERecordKind;
using trace::STraceRecord;

// Records read ahead for the drive's identity before giving up on it.
constexpr int kIdentityRecords = 10000;
constexpr uint8_t kInquiry = 0x12;

std::string Spaced(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += Format(i ? " %02X" : "%02X", bytes[i]);
    return text;
}

std::string PortAccess(uint16_t port, bool write, bool wide, uint16_t value) {
    if (write) return Format("a write of %02Xh to port %03Xh", value, port);
    return Format(wide ? "a 16-bit read of port %03Xh" : "a read of port %03Xh", port);
}

std::string Expected(const STraceRecord& record) {
    if (record.kind == ERecordKind::Port) {
        const trace::SPortRecord& p = record.port;
        return PortAccess(p.port, p.write, p.wide, p.value);
    }
    return Spaced(record.command.cdb.data(), record.command.cdb.size());
}

std::string Field(const std::vector<uint8_t>& data, size_t from, size_t count) {
    std::string text;
    for (size_t i = from; i < from + count && i < data.size(); ++i) text += static_cast<char>(data[i]);
    const size_t last = text.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

class TraceReplay final : public ReplaySource {
public:
    bool Start(const std::string& path, SDriveConfig& config, std::string& error) {
        path_ = path;
        trace::TraceReader look;
        if (!look.Open(path)) {
            error = look.Error();
            return false;
        }
        // The drive is the one the trace's first command went to; its
        // identity is what it answered to INQUIRY.
        STraceRecord record;
        bool identified = false;
        for (int i = 0; i < kIdentityRecords && !identified && look.Next(record) == ENext::Record;) {
            if (record.kind != ERecordKind::Command) continue;
            ++i;
            const trace::SCommandRecord& c = record.command;
            if (drive_.empty()) drive_ = c.drive;
            if (c.drive != drive_ || c.cdb[0] != kInquiry || c.status != kStatusGood || c.in.empty()) continue;
            config.peripheral = c.in[0];
            config.vendor = Field(c.in, 8, 8);
            config.product = Field(c.in, 16, 16);
            config.revision = Field(c.in, 32, 4);
            identified = true;
        }
        if (!look.Error().empty()) {
            error = look.Error();
            return false;
        }
        if (drive_.empty()) {
            error = "it holds no drive command";
            return false;
        }
        // Nothing of the rig's own drive may act beside the recorded one.
        config.flashFile.clear();
        config.faults.clear();
        if (!reader_.Open(path)) {
            error = reader_.Error();
            return false;
        }
        return true;
    }

    SCommandOutcome Command(const uint8_t cdb[12], uint8_t direction, uint8_t* data, uint32_t length,
                            SSense& sense) override {
        if (!data) length = 0;
        const std::string got = Spaced(cdb, 12);
        if (!failed_) {
            if (!Peek()) {
                Fail("past the trace's end, got " + got);
            } else if (next_.kind != ERecordKind::Command ||
                       std::memcmp(next_.command.cdb.data(), cdb, next_.command.cdb.size()) != 0) {
                Fail("expected " + Expected(next_) + ", got " + got);
            } else if (direction == kDirOut || next_.command.direction == kDirOut) {
                const std::vector<uint8_t>& out = next_.command.out;
                const uint32_t sent = direction == kDirOut ? length : 0;
                size_t differs = 0;
                while (differs < out.size() && differs < sent && out[differs] == data[differs]) ++differs;
                if (sent != out.size()) {
                    Fail(Format("expected %s sending %u bytes, got it sending %u bytes", got.c_str(),
                                static_cast<unsigned>(out.size()), sent));
                } else if (differs != out.size()) {
                    Fail(Format("expected %s with the %u bytes recorded, got bytes that differ from byte %u on",
                                got.c_str(), static_cast<unsigned>(out.size()), static_cast<unsigned>(differs)));
                }
            }
        }
        if (failed_) return Refused(sense);
        const trace::SCommandRecord recorded = std::move(next_.command);
        haveNext_ = false;
        Pass(recorded.durationUs);
        if (!recorded.status) return SCommandOutcome{0, 0, true, false};
        SCommandOutcome outcome{*recorded.status, 0};
        if (direction == kDirIn) {
            outcome.transferred = static_cast<uint32_t>(std::min<size_t>(recorded.in.size(), length));
            std::copy_n(recorded.in.begin(), outcome.transferred, data);
        } else if (direction == kDirOut) {
            outcome.transferred = std::min(recorded.Transferred(), length);
        }
        std::memset(sense.bytes, 0, sizeof sense.bytes);
        std::copy_n(recorded.sense.begin(), std::min(recorded.sense.size(), sizeof sense.bytes), sense.bytes);
        return outcome;
    }

    void Write(uint16_t port, uint8_t value) override { Access(port, true, false, value); }
    uint8_t Read(uint16_t port) override { return static_cast<uint8_t>(Access(port, false, false, 0xFF)); }
    uint16_t Read16(uint16_t port) override { return Access(port, false, true, 0xFFFF); }

private:
    // The next record of this drive: a command to it, or a register access.
    bool Peek() {
        if (haveNext_) return true;
        while (!ended_) {
            const ENext next = reader_.Next(next_);
            if (next != ENext::Record) {
                ended_ = true;
                if (next == ENext::Error)
                    std::fprintf(stderr, "replay: %s: %s\n", path_.c_str(), reader_.Error().c_str());
                break;
            }
            lastSeq_ = next_.seq;
            if (next_.kind == ERecordKind::Port) {
                if (next_.port.count == 0) continue;
                left_ = next_.port.count;
                return haveNext_ = true;
            }
            if (next_.kind == ERecordKind::Command && next_.command.drive == drive_) return haveNext_ = true;
        }
        return false;
    }

    // given: the byte written, or what a read gets once the replay has ended.
    uint16_t Access(uint16_t port, bool write, bool wide, uint16_t given) {
        if (failed_) return given;
        const std::string got = PortAccess(port, write, wide, write ? given : 0);
        if (!Peek()) {
            Fail("past the trace's end, got " + got);
            return given;
        }
        const trace::SPortRecord& p = next_.port;
        if (next_.kind != ERecordKind::Port || p.port != port || p.write != write || p.wide != wide ||
            (write && p.value != given)) {
            Fail("expected " + Expected(next_) + ", got " + got);
            return given;
        }
        const uint16_t value = p.value;
        if (--left_ == 0) haveNext_ = false;
        return value;
    }

    // The recorded time the command took passes on the installed clock.
    void Pass(uint64_t us) {
        carryUs_ += us;
        const uint64_t ms = std::min<uint64_t>(carryUs_ / 1000, UINT32_MAX);
        carryUs_ -= ms * 1000;
        if (ms) SleepMs(static_cast<uint32_t>(ms));
    }

    void Fail(const std::string& what) {
        failed_ = true;
        const uint64_t record = haveNext_ ? next_.seq : lastSeq_ + 1;
        std::fprintf(stderr, "replay: record %s: %s\n", std::to_string(record).c_str(), what.c_str());
    }

    // What the drive answers once the replay has ended: a hardware error,
    // internal target failure.
    static SCommandOutcome Refused(SSense& sense) {
        std::memset(sense.bytes, 0, sizeof sense.bytes);
        sense.bytes[0] = 0x70;
        sense.bytes[2] = 0x04;
        sense.bytes[7] = 10;
        sense.bytes[12] = 0x44;
        return SCommandOutcome{kStatusCheckCondition, 0};
    }

    std::string path_;
    std::string drive_;
    trace::TraceReader reader_;
    STraceRecord next_;
    bool haveNext_ = false;
    bool ended_ = false;
    bool failed_ = false;
    uint32_t left_ = 0;
    uint64_t lastSeq_ = 0;
    uint64_t carryUs_ = 0;
};

}  // namespace

std::unique_ptr<ReplaySource> OpenReplay(const std::string& path, SDriveConfig& config, std::string& error) {
    auto replay = std::make_unique<TraceReplay>();
    if (!replay->Start(path, config, error)) return nullptr;
    return replay;
}

}  // namespace jv::sim
