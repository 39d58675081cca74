#pragma once
// Writes a trace (TraceFormat.h) into a file it makes new: a trace never
// replaces a file, and is written only through the descriptor that made it.
// A failure to write ends the recording with one line on standard error;
// the program itself goes on, as it would have without a trace.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "platform/OwnFile.h"
#include "trace/GzipLines.h"
#include "trace/TraceFormat.h"

namespace jv::trace {

// One drive command as the writer takes it.
struct SCommandFields {
    uint64_t us = 0;
    std::string_view drive;
    const uint8_t* cdb = nullptr;  // 12 bytes
    uint8_t direction = 0;
    uint32_t length = 0;
    std::span<const uint8_t> out;
    std::optional<uint8_t> status;
    uint32_t timeoutSeconds = 0;
    std::string_view error;
    std::span<const uint8_t> sense;
    std::span<const uint8_t> in;
    uint32_t resid = 0;
    uint64_t durationUs = 0;
};

// Register records are written in groups of at most this many.
inline constexpr uint32_t kPortRecordsPerWrite = 4096;

class TraceWriter {
public:
    // Makes the file new (gzip when its name ends in ".gz"); nothing, with
    // result saying why, when it cannot.
    static std::unique_ptr<TraceWriter> Create(const std::string& path, SNewFile& result);
    // Use Create.
    TraceWriter(OwnFile file, std::string path, bool gzip);
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // The first line; before any record.
    void Header(const STraceHeader& header);
    void Command(const SCommandFields& command);
    void Port(uint64_t us, const SPortRecord& access);
    void Claim(uint64_t us, const SClaimRecord& claim);
    // The end record, then the file closed; nothing is written after it.
    void Close(uint64_t us);

    bool Stopped() const { return stopped_; }
    const std::string& Path() const { return path_; }

private:
    void Begin(uint64_t us);
    void Hex(std::span<const uint8_t> bytes);
    // Ends the line; with write, everything so far goes to the file.
    void End(bool write);
    // What is made so far goes to the file.
    void WriteOut();
    void Stop(const std::string& why);

    OwnFile file_;
    std::string path_;
    std::unique_ptr<GzipLines> gzip_;
    std::string text_;
    uint64_t seq_ = 0;
    uint32_t unwrittenPorts_ = 0;
    bool stopped_ = false;
};

// Appends text as a JSON string, quotes and all. Bytes from 0x80 up are
// taken as Latin-1 (a system's message in the machine's code page is not
// UTF-8), so the line stays valid JSON whatever they are.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace jv::trace
