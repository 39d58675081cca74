#pragma once
// A drive that answers from a recorded trace (the rig key replay = FILE):
// the commands and register accesses of a run must come as the trace has
// them, one after the other. The first that differs, or one past the end,
// is named on standard error, and from then on the drive answers CHECK
// CONDITION and its registers float, so the program ends by its own
// failure path.
#include <cstdint>
#include <memory>
#include <string>

namespace jv::sim {

struct SDriveConfig;
struct SSense;
struct SCommandOutcome;

class ReplaySource {
public:
    virtual ~ReplaySource() = default;
    // The next recorded command; its status, sense, data and duration (on
    // the installed clock) are the answer.
    virtual SCommandOutcome Command(const uint8_t cdb[12], uint8_t direction, uint8_t* data, uint32_t length,
                                    SSense& sense) = 0;
    virtual void Write(uint16_t port, uint8_t value) = 0;
    virtual uint8_t Read(uint16_t port) = 0;
    virtual uint16_t Read16(uint16_t port) = 0;
};

// Opens the trace at path and takes the drive's identity (device type,
// vendor, product, revision) from its first INQUIRY into config. Nothing,
// with error saying why, for a file that is no trace or holds no command.
std::unique_ptr<ReplaySource> OpenReplay(const std::string& path, SDriveConfig& config, std::string& error);

}  // namespace jv::sim
