#pragma once
// The SG_IO route of Linux: optical drives are /dev/sr0 ... /dev/sr24 and
// receive commands through the kernel's SCSI generic interface. The route's
// logic reaches the system through SgApi, so the simulator can present its
// drives the same way and every host can test the probe.
#include <memory>
#include <string>
#include <vector>

#include "platform/DriveRoute.h"

namespace jv {

class SgApi {
public:
    struct SResult {
        int osError = 0;  // errno of a call that did not run the command
        bool timedOut = false;
        bool transportError = false;  // the host adapter or driver failed it (reset, abort, ...)
        uint8_t scsiStatus = 0;
        uint8_t senseLength = 0;  // sense bytes the drive returned
        // Bytes of the data phase that did not move (the kernel's resid).
        int32_t resid = 0;
        // The system's words for a transport error or a failed call.
        std::string transportText;
    };

    virtual ~SgApi() = default;
    // Opens a node read-only and non-blocking: the descriptor, or -errno.
    virtual int Open(const char* path) = 0;
    virtual void Close(int descriptor) = 0;
    virtual SResult Execute(int descriptor, const uint8_t command[12], uint8_t* data, uint16_t length,
                            uint8_t direction, uint8_t* sense, uint8_t senseLength, int timeoutSeconds) = 0;
    // One line on standard error.
    virtual void Warn(const std::string& line) = 0;
    // Where the system says the drive of a node sits on an IDE channel:
    // empty when it said, else why not (one line, no line feed).
    virtual std::string LocateIde(const char* path, SIdeLocation& location) {
        (void)location;
        return std::string(path) + ": the system does not say where this drive is attached, so the IDE route is refused.";
    }
};

// INQUIRY asked this many times of a node before it counts as silent: a
// drive just reset may answer its first command with UNIT ATTENTION.
inline constexpr int kSgInquiryAttempts = 3;

inline constexpr int kSgNodes = 25;
inline constexpr int kSgTimeoutSeconds = 20;

class SgIoRoute final : public DriveRoute {
public:
    explicit SgIoRoute(std::unique_ptr<SgApi> api);
    ~SgIoRoute() override;
    SgIoRoute(const SgIoRoute&) = delete;
    SgIoRoute& operator=(const SgIoRoute&) = delete;

    int Scan(std::span<SDriveEntry> table) override;
    void Select(const SDriveEntry& entry) override;
    uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) override;
    size_t CopySense(std::span<uint8_t> sense) const override;
    ECommandOutcome LastOutcome() const override { return outcome_; }
    const char* Name() const override { return "SG_IO"; }
    const SCommandDetail& LastDetail() const override { return detail_; }
    std::vector<SInaccessibleNode> InaccessibleNodes() const override { return inaccessible_; }
    std::string LocateIde(const SDriveEntry& entry, int index, SIdeLocation& location) override;

    int Descriptor() const { return descriptor_; }

private:
    // Sends one command to a node, shown to the witness.
    uint8_t Run(int descriptor, const char* path, const uint8_t command[12], uint8_t* data, uint16_t length,
                uint8_t direction);
    uint8_t Send(int descriptor, const char* path, const uint8_t command[12], uint8_t* data, uint16_t length,
                 uint8_t direction);
    // Says once per node that the drive needs more privilege than we have.
    void WarnPrivilege(const char* path);
    // Says once per node why it could not be opened, unless it is not there.
    void WarnUnopened(const char* path, int error);
    // The node's INQUIRY, asked again while the drive answers but refuses it;
    // asked tells how often it was sent.
    bool InquireNode(int descriptor, const char* path, uint8_t (&reply)[36], int& asked);

    std::unique_ptr<SgApi> api_;
    int descriptor_ = -1;
    char currentPath_[12] = {};
    uint8_t sense_[32] = {};
    size_t senseLength_ = 0;  // what the kernel said the drive returned
    ECommandOutcome outcome_ = ECommandOutcome::NoVerdict;
    SCommandDetail detail_;
    bool warned_[kSgNodes] = {};
    std::vector<SInaccessibleNode> inaccessible_;
};

// The kernel's SG_IO through libsgutils2 (Linux only).
std::unique_ptr<DriveRoute> MakeLinuxSgIoRoute();

// Node number of "/dev/srN", or -1.
int SgNodeNumber(const char* path);

}  // namespace jv
