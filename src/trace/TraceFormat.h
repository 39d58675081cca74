#pragma once
// The trace format, written by TraceWriter and read by TraceReader.
//
// JSON Lines: one JSON object per line, each line ended by "\n"; gzip-
// compressed when the file's name ends in ".gz" (a reader knows it by its
// first bytes). The first line is the header:
//   {"trace":1,"program":"jorvane","version":"1.0.0","os":"Linux 6.1.0 x86_64",
//    "route":"SG_IO","started":"2026-01-01T12:00:00"}
// Every line after it is one record, numbered from 1 by "seq" and timed by
// "us", the microseconds since the trace began. A record is one of:
//
//   a drive command, as the route sent it:
//     {"seq":3,"us":1520,"drive":"/dev/sr0","cdb":"12000000ff00000000000000",
//      "dir":"in","len":255,"status":0,"in":"0580...","resid":159,"dur":410}
//     drive    the drive as the route names it: /dev/sr0, \\.\E:, or the
//              ASPI address 1:0:0 (adapter:target:LUN)
//     cdb      the 12 bytes of the command block
//     dir      the data phase: "in", "out" or "none"
//     len      the bytes the data phase was given room for
//     out      the data sent, all len bytes (dir "out")
//     status   the SCSI status byte the drive answered with: 0 GOOD,
//              2 CHECK CONDITION, 8 BUSY, 24 RESERVATION CONFLICT, ...
//     timeout  no answer came: the seconds waited for one (no status then)
//     error    the system's words for a failure beneath the drive (no
//              status then)
//     sense    the sense bytes that came with a status other than 0
//     in       the data received: the bytes really transferred, no more
//     resid    len minus the bytes really transferred (dir "in" or "out")
//     dur      microseconds from sending the command to its end
//   an IDE register access:
//     {"seq":9,"us":2048,"port":"1f7","read":"50","count":12}
//     port     the I/O port
//     read, write   the byte read or written (read16: a 16-bit read)
//     count    the same access this many times in a row (absent: once)
//   a claim of IDE ports:
//     {"seq":8,"us":2040,"claim":"1f0","ports":8}
//     claim    the first port, ports how many; "refused" the system's
//              reason when it did not give them
//   the end, written when the program ended as programs do:
//     {"seq":120,"us":99000,"end":true}
//
// Bytes (cdb, out, in, sense, ports, values) are lower-case hex digits
// without separators. Readers take upper case too, and the keys in any
// order. Drive commands are written to the file one by one as they end;
// register accesses, which come by the million in a chip flash, at least
// every 4096 records and before every drive command. A trace cut short by a
// crash or a power cut is read up to its last whole line.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jv::trace {

inline constexpr int kTraceVersion = 1;

// A line longer than this is no record: the largest command moves 65,535
// bytes, 131,070 hex digits.
inline constexpr size_t kMaxLineLength = 256 * 1024;

struct STraceHeader {
    int format = kTraceVersion;  // "trace"
    std::string program;
    std::string version;  // the program's package version
    std::string os;
    std::string route;
    std::string started;
};

enum class ERecordKind : uint8_t { Command, Port, Claim, End };

struct SCommandRecord {
    std::string drive;
    std::array<uint8_t, 12> cdb{};
    uint8_t direction = 0;  // kDirIn, kDirOut or kDirNone (DriveRoute.h)
    uint32_t length = 0;
    std::vector<uint8_t> out;
    std::optional<uint8_t> status;
    uint32_t timeoutSeconds = 0;
    std::string error;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> in;
    uint32_t resid = 0;
    uint64_t durationUs = 0;

    // Bytes the data phase really moved.
    uint32_t Transferred() const { return length - resid; }
};

struct SPortRecord {
    uint16_t port = 0;
    bool write = false;
    bool wide = false;  // a 16-bit read
    uint16_t value = 0;
    uint32_t count = 1;
};

struct SClaimRecord {
    uint16_t first = 0;
    uint16_t count = 0;
    std::string refused;  // empty: the ports were given
};

struct STraceRecord {
    uint64_t seq = 0;
    uint64_t us = 0;
    ERecordKind kind = ERecordKind::Command;
    SCommandRecord command;
    SPortRecord port;
    SClaimRecord claim;
};

}  // namespace jv::trace
