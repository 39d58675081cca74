#include "trace/Recording.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "util/LongOptions.h"
#include "util/Tool.h"

namespace jv::trace {

namespace {

constexpr std::string_view kTraceOption = "--trace";

// The sense bytes a command really brought: as long as the sense says it
// is, and none at all from an area nobody wrote (a route that keeps a fixed
// sense area hands back all of it).
std::span<const uint8_t> SenseBytes(std::span<const uint8_t> area) {
    if (area.empty() || std::all_of(area.begin(), area.end(), [](uint8_t b) { return b == 0; })) return {};
    const uint8_t code = area[0] & 0x7F;
    if (code >= 0x70 && code <= 0x73 && area.size() > 7) return area.first(std::min<size_t>(area.size(), 8u + area[7]));
    return area;
}

class RecordingRoute final : public DriveRoute, private CommandWitness {
public:
    RecordingRoute(std::unique_ptr<DriveRoute> route, std::shared_ptr<TraceSession> session)
        : route_(std::move(route)), session_(std::move(session)) {
        route_->SetWitness(this);
    }
    ~RecordingRoute() override { route_->SetWitness(nullptr); }
    RecordingRoute(const RecordingRoute&) = delete;
    RecordingRoute& operator=(const RecordingRoute&) = delete;

    const char* Name() const override { return route_->Name(); }
    int Scan(std::span<SDriveEntry> table) override { return route_->Scan(table); }
    void Select(const SDriveEntry& entry) override { route_->Select(entry); }
    uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) override {
        return route_->Execute(command, data, length, direction);
    }
    size_t CopySense(std::span<uint8_t> sense) const override { return route_->CopySense(sense); }
    ECommandOutcome LastOutcome() const override { return route_->LastOutcome(); }
    const SCommandDetail& LastDetail() const override { return route_->LastDetail(); }
    void PumpMessages() override { route_->PumpMessages(); }
    std::vector<SInaccessibleNode> InaccessibleNodes() const override { return route_->InaccessibleNodes(); }
    std::string LocateIde(const SDriveEntry& entry, int index, SIdeLocation& location) override {
        return route_->LocateIde(entry, index, location);
    }

private:
    void Sending() override { sentAt_ = session_->Now(); }

    void Sent(const DriveRoute& route, std::string_view device, const uint8_t command[12], const uint8_t* data,
              uint16_t length, uint8_t direction, uint8_t) override {
        const SCommandDetail& detail = route.LastDetail();
        if (!data) length = 0;
        const uint32_t transferred = std::min<uint32_t>(detail.transferred, length);
        SCommandFields c;
        c.us = sentAt_;
        c.drive = device;
        c.cdb = command;
        c.direction = direction == kDirIn || direction == kDirOut ? direction : kDirNone;
        c.length = length;
        if (c.direction == kDirOut) c.out = std::span(data, length);
        if (c.direction == kDirIn) c.in = std::span(data, transferred);
        uint8_t sense[kSenseCapacity] = {};
        if (detail.answered) {
            c.status = detail.scsiStatus;
            if (detail.scsiStatus != 0) {
                const size_t count = std::min(route.CopySense(sense), sizeof sense);
                c.sense = SenseBytes(std::span<const uint8_t>(sense, count));
            }
        } else {
            c.timeoutSeconds = detail.timeoutSeconds;
            c.error = detail.transport;
        }
        c.resid = c.direction == kDirNone ? 0 : length - transferred;
        const uint64_t now = session_->Now();
        c.durationUs = now > sentAt_ ? now - sentAt_ : 0;
        session_->Command(c);
    }

    std::unique_ptr<DriveRoute> route_;
    std::shared_ptr<TraceSession> session_;
    uint64_t sentAt_ = 0;
};

class RecordingPorts final : public PortBackend {
public:
    RecordingPorts(PortBackend& ports, std::shared_ptr<TraceSession> session)
        : ports_(ports), session_(std::move(session)) {}

    std::string Claim(uint16_t first, uint16_t count) override {
        std::string refused = ports_.Claim(first, count);
        session_->Claim(first, count, refused);
        return refused;
    }
    void Write(uint16_t port, uint8_t value) override {
        session_->Port({port, true, false, value, 1});
        ports_.Write(port, value);
    }
    uint8_t Read(uint16_t port) override {
        const uint8_t value = ports_.Read(port);
        session_->Port({port, false, false, value, 1});
        return value;
    }
    uint16_t Read16(uint16_t port) override {
        const uint16_t value = ports_.Read16(port);
        session_->Port({port, false, true, value, 1});
        return value;
    }

private:
    PortBackend& ports_;
    std::shared_ptr<TraceSession> session_;
};

std::string StartedText() {
    Clock& clock = TheClock();
    const uint32_t date = clock.LocalDate();
    const uint32_t seconds = clock.SecondsOfDay();
    return Format("%04u-%02u-%02uT%02u:%02u:%02u", date / 10000, date / 100 % 100, date % 100, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
}

// The trace of this process.
struct SProcessTrace {
    bool decided = false;
    ETraceStart start = ETraceStart::None;
    std::string path;
    std::string refusal;
    // The command line could be read before main (so --trace=FILE counts).
    bool argumentsRead = false;
    std::shared_ptr<TraceSession> session;
    std::unique_ptr<PortBackend> ports;

    SProcessTrace() = default;
    SProcessTrace(const SProcessTrace&) = delete;
    SProcessTrace& operator=(const SProcessTrace&) = delete;
    // Built while the drive access object is, so gone after it: its route
    // has closed its devices by now, and the trace ends with the program.
    ~SProcessTrace() {
        if (ports) SetPorts(nullptr);
        ports.reset();
        if (session) session->Close();
    }
};

SProcessTrace& ProcessTrace() {
    static SProcessTrace trace;
    return trace;
}

}  // namespace

std::shared_ptr<TraceSession> TraceSession::Open(const std::string& path, SNewFile& result) {
    std::unique_ptr<TraceWriter> writer = TraceWriter::Create(path, result);
    if (!writer) return nullptr;
    return std::make_shared<TraceSession>(std::move(writer));
}

TraceSession::TraceSession(std::unique_ptr<TraceWriter> writer)
    : writer_(std::move(writer)), startUs_(TheClock().MonotonicUs()) {}

TraceSession::~TraceSession() { Close(); }

void TraceSession::Header(const std::string& route) {
    if (headerDone_) return;
    headerDone_ = true;
    STraceHeader header;
    header.program = ProgramFileName();
    header.version = std::string(PackageVersion());
    header.os = SystemDescription();
    header.route = route;
    header.started = StartedText();
    writer_->Header(header);
}

uint64_t TraceSession::Now() const {
    const uint64_t now = TheClock().MonotonicUs();
    return now > startUs_ ? now - startUs_ : 0;
}

void TraceSession::WriteRun() {
    if (!run_) return;
    writer_->Port(runUs_, *run_);
    run_.reset();
}

void TraceSession::Command(SCommandFields command) {
    if (closed_) return;
    Header("unknown");
    WriteRun();
    writer_->Command(command);
}

void TraceSession::Port(const SPortRecord& access) {
    if (closed_) return;
    Header("unknown");
    if (run_ && run_->port == access.port && run_->write == access.write && run_->wide == access.wide &&
        run_->value == access.value && run_->count < UINT32_MAX) {
        ++run_->count;
        return;
    }
    WriteRun();
    run_ = access;
    runUs_ = Now();
}

void TraceSession::Claim(uint16_t first, uint16_t count, const std::string& refused) {
    if (closed_) return;
    Header("unknown");
    WriteRun();
    writer_->Claim(Now(), {first, count, refused});
}

void TraceSession::Close() {
    if (closed_) return;
    Header("unknown");
    WriteRun();
    writer_->Close(Now());
    closed_ = true;
}

std::unique_ptr<DriveRoute> WrapRoute(std::unique_ptr<DriveRoute> route, std::shared_ptr<TraceSession> session) {
    if (!route || !session) return route;
    return std::make_unique<RecordingRoute>(std::move(route), std::move(session));
}

std::unique_ptr<PortBackend> WrapPorts(PortBackend& ports, std::shared_ptr<TraceSession> session) {
    return std::make_unique<RecordingPorts>(ports, std::move(session));
}

std::optional<std::string> TraceOptionFile(const char* argument) {
    if (argument == nullptr) return std::nullopt;
    const std::string_view text(argument);
    if (text.substr(0, kTraceOption.size() + 1) != std::string(kTraceOption) + "=") return std::nullopt;
    return std::string(text.substr(kTraceOption.size() + 1));
}

ETraceStart BeginTrace() {
    SProcessTrace& trace = ProcessTrace();
    if (trace.decided) return trace.start;
    trace.decided = true;
    if (const char* named = std::getenv("JORVANE_TRACE"); named && *named) trace.path = named;
    // The Windows programs keep their command line as it always was.
    if (PosixFileNames()) {
        const std::vector<std::string> arguments = StartupArguments();
        trace.argumentsRead = !arguments.empty();
        for (size_t i = 1; i < arguments.size(); ++i) {
            if (auto file = TraceOptionFile(arguments[i].c_str())) trace.path = *file;
        }
    }
    if (trace.path.empty()) return trace.start = ETraceStart::None;
    SNewFile made;
    trace.session = TraceSession::Open(trace.path, made);
    if (!trace.session) {
        trace.refusal = NewFileRefusal(trace.path, made);
        return trace.start = ETraceStart::Refused;
    }
    return trace.start = ETraceStart::Recording;
}

std::unique_ptr<DriveRoute> RecordRoute(std::unique_ptr<DriveRoute> route) {
    SProcessTrace& trace = ProcessTrace();
    if (!trace.session) return route;
    trace.session->Header(route ? route->Name() : "none");
    if (!trace.ports) {
        trace.ports = WrapPorts(ThePorts(), trace.session);
        SetPorts(trace.ports.get());
    }
    return WrapRoute(std::move(route), trace.session);
}

std::optional<std::string> TraceRefusal(int argc, char** argv) {
    const SProcessTrace& trace = ProcessTrace();
    if (trace.start == ETraceStart::Refused) {
        return "no trace could be recorded, so no drive was touched: " + trace.refusal;
    }
    if (!PosixFileNames()) return std::nullopt;
    std::optional<std::string> last;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        const std::optional<std::string> file = TraceOptionFile(argv[i]);
        if (std::string_view(argv[i]) == kTraceOption || (file && file->empty())) {
            return std::string("--trace takes the file to record to: --trace=FILE\n");
        }
        if (file) last = file;
    }
    // The last one given is the one recorded, when the command line could
    // be read before the scan.
    if (last && (!trace.argumentsRead || trace.path != *last)) {
        return "--trace: the command line could not be read before the drive scan; record with JORVANE_TRACE=" +
               *last + " instead\n";
    }
    return std::nullopt;
}

}  // namespace jv::trace
