#pragma once
// Reads a trace (TraceFormat.h), plain or gzip, one record at a time: the
// printer of jorvane-trace and the replayed drives of the simulator both
// read through this. A trace is input like any other: every field is
// checked before it is used, and whatever is wrong is named with its line.
// A trace cut short (a gzip stream without its end, a last line without its
// line feed) is read up to its last whole record and says so.
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "trace/TraceFormat.h"

namespace jv::trace {

enum class ENext : uint8_t {
    Record,  // a record was read
    End,     // no more records (CutShort says whether the file was cut)
    Error,   // the file is no good from here on (Error says why)
};

class TraceReader {
public:
    TraceReader();
    ~TraceReader();
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    // Opens the file and reads its header; false with Error set when it
    // cannot be read or holds no trace this program reads.
    bool Open(const std::string& path);
    // The same for bytes already in memory (tests, fuzzing).
    bool OpenBytes(std::vector<uint8_t> bytes);

    const STraceHeader& Header() const { return header_; }
    ENext Next(STraceRecord& record);
    // Why Open or Next failed: "line 7: ..." or what the file itself says.
    const std::string& Error() const { return error_; }
    // The file ended in the middle of a record or of its compressed stream.
    bool CutShort() const { return cutShort_; }
    // The line the last record (or error) came from, from 1.
    uint64_t Line() const { return line_; }

private:
    struct SInflate;
    bool Start();
    // The next line, without its line feed; false at the end or on an error.
    bool ReadLine(std::string& line, bool& complete);
    // More decompressed bytes; false when there are none.
    bool Fill();
    bool Fail(const std::string& why);

    std::ifstream file_;
    std::vector<uint8_t> memory_;
    size_t memoryAt_ = 0;
    bool fromMemory_ = false;
    std::unique_ptr<SInflate> inflate_;
    bool gzip_ = false;
    bool sourceDone_ = false;
    std::vector<uint8_t> raw_;  // read from the source, not yet inflated
    size_t rawAt_ = 0;
    std::string text_;  // decompressed, not yet taken as lines
    size_t textAt_ = 0;
    STraceHeader header_;
    std::string error_;
    bool failed_ = false;
    bool ended_ = false;
    bool cutShort_ = false;
    bool sawEnd_ = false;
    uint64_t line_ = 0;
    uint64_t lastSeq_ = 0;
};

// Parses one record line; false with why set when it is none.
bool ParseRecord(const std::string& line, STraceRecord& record, std::string& why);

// Bytes from hex digits (either case, no separators), at most limit of
// them; false for anything else.
bool ParseHexBytes(const std::string& text, size_t limit, std::vector<uint8_t>& bytes);

}  // namespace jv::trace
