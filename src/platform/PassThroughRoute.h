#pragma once
// The pass-through route of the NT family: each drive is a device opened as
// "\\.\X:" and receives SCSI pass-through-direct requests. The route's logic
// reaches the kernel through PassThroughApi, so the simulator can play an NT
// machine and every host can test it.
#include <memory>

#include "platform/DriveRoute.h"
#include "platform/PassThroughLayout.h"

namespace jv {

class PassThroughApi {
public:
    using Handle = intptr_t;
    static constexpr Handle kInvalidHandle = -1;
    static constexpr uint32_t kDriveCdRom = 5;

    virtual ~PassThroughApi() = default;
    // GetDriveTypeA of a root such as "E:\".
    virtual uint32_t DriveType(const char* root) = 0;
    // Read/write access, shared, existing device; kInvalidHandle on failure.
    virtual Handle Open(const char* path) = 0;
    virtual void Close(Handle handle) = 0;
    // IOCTL_SCSI_PASS_THROUGH_DIRECT with the buffer as input and output.
    // False with the system's error code when the call failed.
    virtual bool Ioctl(Handle handle, passthrough::SPassThroughBuffer& buffer, uint32_t& lastError) = 0;
    virtual uint32_t AddressOf(void* pointer) = 0;
};

class PassThroughRoute final : public DriveRoute {
public:
    explicit PassThroughRoute(std::unique_ptr<PassThroughApi> api);
    ~PassThroughRoute() override;
    PassThroughRoute(const PassThroughRoute&) = delete;
    PassThroughRoute& operator=(const PassThroughRoute&) = delete;

    int Scan(std::span<SDriveEntry> table) override { return ScanDriveLetters(table); }
    void Select(const SDriveEntry& entry) override;
    uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) override;
    size_t CopySense(std::span<uint8_t> sense) const override;
    ECommandOutcome LastOutcome() const override { return outcome_; }
    const SCommandDetail& LastDetail() const override { return detail_; }
    const char* Name() const override { return "SCSI pass-through"; }

    int ScanDriveLetters(std::span<SDriveEntry> table);
    const passthrough::SPassThroughBuffer& Buffer() const { return buffer_; }
    PassThroughApi::Handle DeviceHandle() const { return handle_; }

private:
    void OpenDevice(const char* path);
    // One command to the open device, unwitnessed.
    uint8_t Send(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction);

    std::unique_ptr<PassThroughApi> api_;
    // Zero until a device was opened, kInvalidHandle after a failed open.
    PassThroughApi::Handle handle_ = 0;
    char currentPath_[15] = {};
    passthrough::SPassThroughBuffer buffer_{};
    ECommandOutcome outcome_ = ECommandOutcome::NoVerdict;
    SCommandDetail detail_;
};

// The kernel's own pass-through (Windows only).
std::unique_ptr<DriveRoute> MakeWin32PassThroughRoute();

}  // namespace jv
