#include "trace/TracePrint.h"

#include <algorithm>

#include "platform/Console.h"
#include "platform/DriveRoute.h"
#include "trace/CommandNames.h"

namespace jv::trace {

namespace {

std::string Seconds(uint64_t us) {
    return Format("%llu.%06llu", static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us % 1000000));
}

std::string Count(uint64_t n) { return Format("%llu", static_cast<unsigned long long>(n)); }

std::string Plural(uint64_t n, const char* one, const char* many) { return Count(n) + " " + (n == 1 ? one : many); }

std::string DataPhase(const SCommandRecord& c) {
    if (c.direction == kDirNone || !c.status) return {};
    const uint32_t moved = c.Transferred();
    const char* way = c.direction == kDirIn ? " in" : " out";
    if (moved == c.length) return ", " + Plural(moved, "byte", "bytes") + way;
    return ", " + Count(moved) + " of " + Plural(c.length, "byte", "bytes") + way;
}

bool Failed(const SCommandRecord& c) { return !c.status || *c.status != 0; }

}  // namespace

std::string HeaderLine(const STraceHeader& h) {
    return h.program + " " + h.version + " on " + h.os + ", route " + h.route + ", started " + h.started;
}

std::string RecordLine(const STraceRecord& r) {
    std::string line = Format("%6llu %13s  ", static_cast<unsigned long long>(r.seq), Seconds(r.us).c_str());
    switch (r.kind) {
        case ERecordKind::Command: {
            const SCommandRecord& c = r.command;
            line += c.drive + "  " + DescribeCommand(c.cdb) + " -> " + DescribeOutcome(c) + DataPhase(c) + ", " +
                    Count(c.durationUs) + " us";
            break;
        }
        case ERecordKind::Port: {
            const SPortRecord& p = r.port;
            const std::string name = RegisterName(p.port, p.write);
            line += Format("port %03Xh", p.port) + (name.empty() ? "" : " (" + name + ")");
            line += p.write  ? Format(" write %02Xh", p.value)
                    : p.wide ? Format(" read %04Xh", p.value)
                             : Format(" read %02Xh", p.value);
            if (p.write && name == "command") {
                const std::string command = IdeCommandName(static_cast<uint8_t>(p.value));
                if (!command.empty()) line += " " + command;
            }
            if (p.count != 1) line += ", " + Count(p.count) + " times";
            break;
        }
        case ERecordKind::Claim: {
            const SClaimRecord& c = r.claim;
            line += Format("claim of ports %03Xh-%03Xh: ", c.first, c.first + std::max<uint32_t>(c.count, 1) - 1);
            line += c.refused.empty() ? "given" : "refused: " + c.refused;
            break;
        }
        case ERecordKind::End:
            line += "end of the trace: the program ended";
            break;
    }
    return line;
}

void TraceSummary::Add(const STraceRecord& r) {
    ++records_;
    lastUs_ = std::max(lastUs_, r.us);
    switch (r.kind) {
        case ERecordKind::Command: {
            const SCommandRecord& c = r.command;
            lastUs_ = std::max(lastUs_, r.us + c.durationUs);
            ++commandCount_;
            SCount& count = commands_[CommandName(c.cdb)];
            ++count.sent;
            if (c.status) {
                if (c.direction == kDirOut) bytesSent_ += c.Transferred();
                if (c.direction == kDirIn) bytesReceived_ += c.Transferred();
            }
            if (Failed(c)) {
                ++count.failed;
                ++failedCount_;
                ++failures_[DescribeOutcome(c)];
            }
            break;
        }
        case ERecordKind::Port:
            ++portRecords_;
            (r.port.write ? portWrites_ : portReads_) += r.port.count;
            break;
        case ERecordKind::Claim:
            ++claims_;
            if (!r.claim.refused.empty()) ++claimsRefused_;
            break;
        case ERecordKind::End:
            break;
    }
}

std::string TraceSummary::Text(const STraceHeader& header, bool ended, bool cut) const {
    std::string text = HeaderLine(header) + "\n";
    text += Plural(records_, "record", "records") + " over " + Seconds(lastUs_) + " s: " +
            Plural(commandCount_, "drive command", "drive commands") + ", " +
            Plural(portReads_ + portWrites_, "register access", "register accesses") + " in " +
            Plural(portRecords_, "record", "records") + ", " + Plural(claims_, "port claim", "port claims");
    if (claimsRefused_ != 0) text += " (" + Count(claimsRefused_) + " refused)";
    text += ".\n";
    if (ended) {
        text += "The trace ends where the program ended.\n";
    } else if (cut) {
        text += "The trace is cut short: the file stops before its end, after its last whole record.\n";
    } else {
        text += "The trace stops without its end: the program did not end as programs do (a crash, a kill, a "
                "power cut), or the file was cut.\n";
    }
    if (!commands_.empty()) {
        text += "\n   sent  failed  command\n";
        for (const auto& [name, count] : commands_) {
            text += Format("%7llu %7llu  ", static_cast<unsigned long long>(count.sent),
                           static_cast<unsigned long long>(count.failed)) +
                    name + "\n";
        }
    }
    text += "\nData: " + Plural(bytesSent_, "byte", "bytes") + " sent, " + Plural(bytesReceived_, "byte", "bytes") +
            " received.\n";
    if (portReads_ + portWrites_ != 0) {
        text += "Registers: " + Plural(portReads_, "read", "reads") + ", " + Plural(portWrites_, "write", "writes") +
                ".\n";
    }
    text += "Failures: " + Count(failedCount_) + (failures_.empty() ? ".\n" : "\n");
    for (const auto& [what, n] : failures_) text += Format("%7llu  ", static_cast<unsigned long long>(n)) + what + "\n";
    return text;
}

}  // namespace jv::trace
