#pragma once
// Recording a trace: the one place a trace begins, and the decorators that
// record at the seams, a route that wraps the real route and a port backend
// in front of the real ports. Every program that talks to a drive builds its
// drive access object through BeginTrace and RecordRoute, so all of them
// record the same way.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/DriveRoute.h"
#include "platform/Ports.h"
#include "trace/TraceWriter.h"

namespace jv::trace {

// One trace being recorded: its writer, its time base (the installed
// clock, so a virtual clock gives a virtual time line) and the run of like
// register accesses not written yet.
class TraceSession {
public:
    // Makes the file new; nothing, with result saying why, when it cannot.
    static std::shared_ptr<TraceSession> Open(const std::string& path, SNewFile& result);
    explicit TraceSession(std::unique_ptr<TraceWriter> writer);
    ~TraceSession();
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;

    // The header, once the route is known; before any record.
    void Header(const std::string& route);
    // Microseconds since the trace began.
    uint64_t Now() const;
    void Command(SCommandFields command);
    void Port(const SPortRecord& access);
    void Claim(uint16_t first, uint16_t count, const std::string& refused);
    // The run of register accesses, the end record, the file closed.
    void Close();
    const std::string& Path() const { return writer_->Path(); }

private:
    void WriteRun();

    std::unique_ptr<TraceWriter> writer_;
    uint64_t startUs_ = 0;
    bool headerDone_ = false;
    bool closed_ = false;
    std::optional<SPortRecord> run_;
    uint64_t runUs_ = 0;
};

// The route that records every command route sends (its scan's too) and
// otherwise is route.
std::unique_ptr<DriveRoute> WrapRoute(std::unique_ptr<DriveRoute> route, std::shared_ptr<TraceSession> session);

// Ports that record every access and claim, and pass them on to ports,
// which must outlive them.
std::unique_ptr<PortBackend> WrapPorts(PortBackend& ports, std::shared_ptr<TraceSession> session);

enum class ETraceStart : uint8_t {
    None,       // no trace asked for
    Recording,  // the file is made
    Refused,    // asked for, but the file cannot be made: no drive may be touched
};

// Starts the trace JORVANE_TRACE names, or (POSIX programs) the one the
// command line names with --trace=FILE, which wins over the variable: the
// file is made here. Called before the first drive command of the program
// (the drive scan that runs while the drive access object is built); later
// calls return what the first one did.
ETraceStart BeginTrace();

// The route to send commands through: wrapped by the recorder while a
// trace is recorded (the header names it), else the route itself. The I/O
// ports get their recorder with it.
std::unique_ptr<DriveRoute> RecordRoute(std::unique_ptr<DriveRoute> route);

// For a program's main: why it must not go on for the trace's sake (a file
// that could not be made, a --trace without a file), as one line ending in
// a line feed, without the program's name; nothing when all is well.
std::optional<std::string> TraceRefusal(int argc, char** argv);

// The value of a --trace=FILE argument, or nothing for any other argument.
std::optional<std::string> TraceOptionFile(const char* argument);

}  // namespace jv::trace
