#include "platform/PassThroughRoute.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace jv {

PassThroughRoute::PassThroughRoute(std::unique_ptr<PassThroughApi> api) : api_(std::move(api)) {}

PassThroughRoute::~PassThroughRoute() {
    if (handle_ != 0 && handle_ != PassThroughApi::kInvalidHandle) api_->Close(handle_);
}

void PassThroughRoute::OpenDevice(const char* path) {
    if (handle_ != 0 && handle_ != PassThroughApi::kInvalidHandle) api_->Close(handle_);
    handle_ = api_->Open(path);
}

int PassThroughRoute::ScanDriveLetters(std::span<SDriveEntry> table) {
    size_t count = 0;
    // Z is not looked at.
    for (char letter = 'A'; letter <= 'Y' && count < table.size(); ++letter) {
        const char root[4] = {letter, ':', '\\', '\0'};
        if (api_->DriveType(root) != PassThroughApi::kDriveCdRom) continue;
        const char path[7] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
        OpenDevice(path);
        if (handle_ == PassThroughApi::kInvalidHandle) continue;

        SDriveEntry& entry = table[count];
        entry = SDriveEntry{};
        CopyField(entry.devicePath, path);
        CopyField(currentPath_, path);
        static constexpr uint8_t kInquiry[12] = {0x12, 0, 0, 0, 0x32, 0, 0, 0, 0, 0, 0, 0};
        uint8_t reply[50] = {};
        // Listed even when it does not answer: its identity is read afresh
        // whenever it is shown.
        Execute(kInquiry, reply, sizeof reply, kDirIn);
        std::memcpy(entry.identity, reply + 8, 24);
        entry.identity[24] = '\0';
        std::memcpy(entry.revision, reply + 32, 4);
        ++count;
    }
    return static_cast<int>(count);
}

void PassThroughRoute::Select(const SDriveEntry& entry) {
    CopyField(currentPath_, entry.devicePath);
    OpenDevice(currentPath_);
}

uint8_t PassThroughRoute::Execute(const uint8_t command[12], uint8_t* data, uint16_t length,
                                  uint8_t direction) {
    WitnessSending();
    const uint8_t status = Send(command, data, length, direction);
    WitnessSent(currentPath_, command, data, data ? length : 0, direction, status);
    return status;
}

uint8_t PassThroughRoute::Send(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) {
    buffer_ = passthrough::SPassThroughBuffer{};
    passthrough::SScsiPassThroughDirect& request = buffer_.request;
    request.length = sizeof(passthrough::SScsiPassThroughDirect);
    request.cdbLength = 12;
    request.senseInfoLength = passthrough::kSenseInfoLength;
    request.dataIn = passthrough::MapDirection(direction);
    request.dataTransferLength = data ? length : 0;
    request.timeOutValue = passthrough::kTimeOutSeconds;
    request.dataBuffer = data ? api_->AddressOf(data) : 0;
    request.senseInfoOffset = offsetof(passthrough::SPassThroughBuffer, sense);
    std::memcpy(request.cdb, command, 12);

    uint32_t lastError = 0;
    const bool succeeded = api_->Ioctl(handle_, buffer_, lastError);
    outcome_ = passthrough::PassThroughOutcome(succeeded, lastError, buffer_.request.scsiStatus, buffer_.sense);
    const uint8_t status = passthrough::PassThroughStatus(succeeded, lastError, buffer_.request.scsiStatus);
    detail_ = SCommandDetail{};
    const bool answered = succeeded || (status != 0 && buffer_.request.scsiStatus != 0);
    if (!answered) {
        if (lastError == passthrough::kErrorSemTimeout) {
            detail_.timeoutSeconds = passthrough::kTimeOutSeconds;
        } else {
            detail_.transport = "the pass-through request failed with system error " + std::to_string(lastError);
        }
        return status;
    }
    detail_.answered = true;
    detail_.scsiStatus = buffer_.request.scsiStatus;
    // The driver leaves in DataTransferLength what the data phase moved.
    if (data && direction != kDirNone) {
        detail_.transferred = std::min<uint32_t>(buffer_.request.dataTransferLength, length);
    }
    if (status == kStatusGood && direction == kDirIn) ClearPastTransfer(data, length, detail_.transferred);
    return status;
}

size_t PassThroughRoute::CopySense(std::span<uint8_t> sense) const {
    // The area asked of the driver, cleared before the command.
    const size_t count = std::min<size_t>(sense.size(), passthrough::kSenseInfoLength);
    std::copy_n(buffer_.sense, count, sense.begin());
    return count;
}

}  // namespace jv

#ifdef _WIN32
#include <windows.h>
#include <ntddscsi.h>

#include <cstddef>

namespace jv {
namespace {

static_assert(sizeof(void*) == 4, "the pass-through buffer holds a 32-bit data address");
// Our layout and codes are written out so they can be checked on any host;
// here they must agree with the system's own definitions.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == sizeof(passthrough::SScsiPassThroughDirect));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == offsetof(passthrough::SScsiPassThroughDirect, scsiStatus));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == offsetof(passthrough::SScsiPassThroughDirect, dataBuffer));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) ==
              offsetof(passthrough::SScsiPassThroughDirect, senseInfoOffset));
static_assert(ERROR_SEM_TIMEOUT == passthrough::kErrorSemTimeout && ERROR_IO_DEVICE == passthrough::kErrorIoDevice);
static_assert(DRIVE_CDROM == PassThroughApi::kDriveCdRom);

HANDLE ToHandle(PassThroughApi::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

class Win32PassThroughApi final : public PassThroughApi {
public:
    uint32_t DriveType(const char* root) override { return GetDriveTypeA(root); }
    Handle Open(const char* path) override {
        HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        return device == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(device);
    }
    void Close(Handle handle) override { CloseHandle(ToHandle(handle)); }
    bool Ioctl(Handle handle, passthrough::SPassThroughBuffer& buffer, uint32_t& lastError) override {
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(ToHandle(handle), passthrough::kIoctlScsiPassThroughDirect, &buffer,
                                        sizeof buffer, &buffer, sizeof buffer, &returned, nullptr);
        lastError = ok ? 0 : GetLastError();
        return ok != FALSE;
    }
    uint32_t AddressOf(void* pointer) override { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }
};

}  // namespace

std::unique_ptr<DriveRoute> MakeWin32PassThroughRoute() {
    return std::make_unique<PassThroughRoute>(std::make_unique<Win32PassThroughApi>());
}

}  // namespace jv
#endif
