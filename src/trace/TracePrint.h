#pragma once
// What jorvane-trace prints: one line per record, or a summary.
#include <cstdint>
#include <map>
#include <string>

#include "trace/TraceFormat.h"

namespace jv::trace {

// "jorvane-sim 1.0.0 on Linux 6.1.0 x86_64, route SG_IO, started 2026-01-01T12:00:00"
std::string HeaderLine(const STraceHeader& header);

// One record: its number, its time in seconds, and what it was.
std::string RecordLine(const STraceRecord& record);

// Counts over the records of a trace.
class TraceSummary {
public:
    void Add(const STraceRecord& record);
    // ended: the end record was read; cut: the file stops before its end (a line or the gzip stream cut).
    std::string Text(const STraceHeader& header, bool ended, bool cut) const;

private:
    struct SCount {
        uint64_t sent = 0;
        uint64_t failed = 0;
    };
    std::map<std::string, SCount> commands_;
    std::map<std::string, uint64_t> failures_;  // by what the drive or the system said
    uint64_t records_ = 0;
    uint64_t commandCount_ = 0;
    uint64_t failedCount_ = 0;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
    uint64_t portRecords_ = 0;
    uint64_t portReads_ = 0;
    uint64_t portWrites_ = 0;
    uint64_t claims_ = 0;
    uint64_t claimsRefused_ = 0;
    uint64_t lastUs_ = 0;
};

}  // namespace jv::trace
