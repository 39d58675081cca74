#include "sim/VirtualRoute.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/PassThroughRoute.h"
#include "platform/SgIoRoute.h"
#include "sim/Rig.h"
#include "sim/VirtualDrive.h"

namespace jv {

namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Descriptors and handles of the virtual devices start here, clear of 0 and
// -1, which mean "none" to the routes.
constexpr int kFirstDevice = 1000;

sim::VirtualDrive* DriveOf(const std::vector<sim::VirtualDrive*>& drives, intptr_t device) {
    const intptr_t index = device - kFirstDevice;
    if (index < 0 || index >= static_cast<intptr_t>(drives.size())) return nullptr;
    return drives[static_cast<size_t>(index)];
}

// Addresses handed to a 32-bit request field: small numbers that stand for
// the real pointers while one command runs.
class AddressBook {
public:
    void Clear() { pointers_.clear(); }
    uint32_t Enter(void* pointer) {
        if (!pointer) return 0;
        pointers_.push_back(pointer);
        return static_cast<uint32_t>(pointers_.size());
    }
    void* Find(uint32_t address) const {
        if (address == 0 || address > pointers_.size()) return nullptr;
        return pointers_[address - 1];
    }

private:
    std::vector<void*> pointers_;
};

// --- Linux: the drives are /dev/sr0 upward.
class VirtualSgApi final : public SgApi {
public:
    VirtualSgApi(std::vector<sim::VirtualDrive*> drives, std::shared_ptr<SVirtualSystemLog> log)
        : drives_(std::move(drives)), log_(std::move(log)) {}

    int Open(const char* path) override {
        const int node = SgNodeNumber(path);
        if (node < 0 || node >= static_cast<int>(drives_.size())) return -ENOENT;
        ++log_->opens;
        return kFirstDevice + node;
    }
    void Close(int) override { ++log_->closes; }
    SResult Execute(int descriptor, const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction,
                    uint8_t* sense, uint8_t senseLength, int timeoutSeconds) override {
        SResult result;
        sim::VirtualDrive* drive = DriveOf(drives_, descriptor);
        if (!drive) {
            result.osError = EBADF;
            return result;
        }
        const sim::SCommandOutcome outcome = drive->Execute(command, direction, data, length);
        if (outcome.timedOut) {
            SleepMs(static_cast<uint32_t>(timeoutSeconds) * 1000);
            result.timedOut = true;
            return result;
        }
        result.scsiStatus = outcome.scsiStatus;
        result.resid = static_cast<int32_t>(length - std::min<uint32_t>(outcome.transferred, length));
        if (outcome.scsiStatus == sim::kStatusCheckCondition) {
            const size_t count = std::min<size_t>(senseLength, drive->LastSense().Length());
            std::memcpy(sense, drive->LastSense().bytes, count);
            result.senseLength = static_cast<uint8_t>(count);
        }
        return result;
    }
    void Warn(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
    // The machine's IDE channels hold the rig's drives in its order; the
    // system reports each where it sits, unless the rig says otherwise.
    std::string LocateIde(const char* path, SIdeLocation& location) override {
        const int node = SgNodeNumber(path);
        if (node < 0 || node >= static_cast<int>(drives_.size())) return std::string(path) + ": no such drive.";
        const int place = sim::ReportedIdePlace(drives_[static_cast<size_t>(node)]->Config().ide,
                                                static_cast<size_t>(node));
        if (place == sim::kIdeNoPlace) {
            return std::string(path) + " is not on an ATA port (it is on USB, SCSI or another bus): it has no IDE "
                                       "registers, so the IDE route is refused.";
        }
        location = place < 2 ? kLegacyPrimary : kLegacySecondary;
        location.device = static_cast<uint8_t>(place % 2);
        return {};
    }

private:
    std::vector<sim::VirtualDrive*> drives_;
    std::shared_ptr<SVirtualSystemLog> log_;
};

// --- NT: the drives are CD-ROM drive letters from D: upward.
class VirtualPassThroughApi final : public PassThroughApi {
public:
    VirtualPassThroughApi(std::vector<sim::VirtualDrive*> drives, std::shared_ptr<SVirtualSystemLog> log)
        : drives_(std::move(drives)), log_(std::move(log)) {}

    // The class driver the system gives a drive letter follows the unit's
    // peripheral type: only a CD/DVD drive is a CD-ROM letter.
    uint32_t DriveType(const char* root) override {
        if (root[0] == 'C') return kDriveFixed;
        const int index = LetterIndex(root[0]);
        if (index < 0) return kDriveNoRootDir;
        return drives_[static_cast<size_t>(index)]->Config().peripheral == kPeripheralCdDvd ? kDriveCdRom
                                                                                            : kDriveFixed;
    }
    Handle Open(const char* path) override {
        if (std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':')
            return kInvalidHandle;
        const int index = LetterIndex(path[4]);
        if (index < 0) return kInvalidHandle;
        ++log_->opens;
        return kFirstDevice + index;
    }
    void Close(Handle) override { ++log_->closes; }
    static constexpr uint32_t kDriveNoRootDir = 1;
    static constexpr uint32_t kDriveFixed = 3;
    bool Ioctl(Handle handle, passthrough::SPassThroughBuffer& buffer, uint32_t& lastError) override {
        sim::VirtualDrive* drive = DriveOf(drives_, handle);
        if (!drive) {
            lastError = 6;  // ERROR_INVALID_HANDLE
            return false;
        }
        passthrough::SScsiPassThroughDirect& request = buffer.request;
        const uint8_t direction = request.dataIn == passthrough::kDataIn    ? kDirIn
                                  : request.dataIn == passthrough::kDataOut ? kDirOut
                                                                            : kDirNone;
        auto* data = static_cast<uint8_t*>(addresses_.Find(request.dataBuffer));
        const uint32_t length = data ? request.dataTransferLength : 0;
        const sim::SCommandOutcome outcome = drive->Execute(request.cdb, direction, data, length);
        if (outcome.timedOut) {
            SleepMs(request.timeOutValue * 1000);
            // What the kernel says when the drive let the request time out.
            lastError = passthrough::kErrorSemTimeout;
            return false;
        }
        request.scsiStatus = outcome.scsiStatus;
        // The driver leaves what the data phase moved in the length field.
        request.dataTransferLength = std::min(outcome.transferred, length);
        if (outcome.scsiStatus != 0 && request.senseInfoOffset == offsetof(passthrough::SPassThroughBuffer, sense))
            std::memcpy(buffer.sense, drive->LastSense().bytes,
                        std::min<size_t>({request.senseInfoLength, sizeof buffer.sense, sizeof(sim::SSense)}));
        return true;
    }
    uint32_t AddressOf(void* pointer) override {
        addresses_.Clear();
        return addresses_.Enter(pointer);
    }

private:
    int LetterIndex(char letter) const {
        const int index = letter - 'D';
        return index >= 0 && index < static_cast<int>(drives_.size()) ? index : -1;
    }

    std::vector<sim::VirtualDrive*> drives_;
    std::shared_ptr<SVirtualSystemLog> log_;
    AddressBook addresses_;
};

// --- Windows 98: each drive at its ASPI address (by default drive i is
// adapter i / 8, target i % 8, LUN 0).
class VirtualAspiApi final : public AspiApi {
public:
    VirtualAspiApi(std::vector<sim::VirtualDrive*> drives, std::shared_ptr<SVirtualSystemLog> log)
        : drives_(std::move(drives)), log_(std::move(log)) {
        for (size_t i = 0; i < drives_.size(); ++i)
            addressOf_.push_back(sim::AspiAddressOf(drives_[i]->Config(), i));
    }

    uint32_t GetSupportInfo() override {
        uint32_t adapters = 0;
        for (const sim::SAspiAddress& at : addressOf_) adapters = std::max<uint32_t>(adapters, at.adapter + 1u);
        return (uint32_t{aspi::kStatusCompleted} << 8) | adapters;
    }
    uint32_t Send(void* request) override {
        const uint8_t command = *static_cast<uint8_t*>(request);
        if (command == aspi::kCmdHostAdapterInquiry) {
            return HostAdapterInquiry(*static_cast<aspi::SHostAdapterInquiry*>(request));
        }
        if (command == aspi::kCmdGetDeviceType) return GetDeviceType(*static_cast<aspi::SGetDeviceType*>(request));
        if (command == aspi::kCmdExecute) return ExecuteRequest(*static_cast<aspi::SExecute*>(request));
        if (command == aspi::kCmdAbort) return Abort(*static_cast<aspi::SAbort*>(request));
        return aspi::kStatusInvalidRequest;
    }
    uint32_t MakeEvent() override {
        addresses_.Clear();
        signalled_ = false;
        return ++events_;
    }
    EWait Wait(uint32_t, uint32_t milliseconds) override {
        if (signalled_) return EWait::Signalled;
        // A drive that never answers: the whole wait passes.
        SleepMs(milliseconds);
        return EWait::TimedOut;
    }
    void CloseEvent(uint32_t) override {}
    uint32_t AddressOf(void* pointer) override { return addresses_.Enter(pointer); }
    void PumpMessages() override {}

private:
    sim::VirtualDrive* Find(uint8_t adapter, uint8_t target, uint8_t lun) const {
        const sim::SAspiAddress wanted{adapter, target, lun};
        for (size_t i = 0; i < drives_.size(); ++i)
            if (addressOf_[i] == wanted) return drives_[i];
        return nullptr;
    }

    // Every adapter of the machine counts residual bytes.
    uint32_t HostAdapterInquiry(aspi::SHostAdapterInquiry& request) {
        const uint8_t adapters = static_cast<uint8_t>(GetSupportInfo() & 0xFF);
        if (request.adapter != 0 && request.adapter >= adapters) {
            request.status = aspi::kStatusInvalidAdapter;
            return request.status;
        }
        request.adapterCount = adapters;
        request.unique[aspi::kUniqueResidualByte] = aspi::kUniqueResidualSupported;
        request.status = aspi::kStatusCompleted;
        return request.status;
    }

    // The layer reports the type the unit gave; a unit whose qualifier says
    // it is not there counts as no device.
    uint32_t GetDeviceType(aspi::SGetDeviceType& request) {
        const sim::VirtualDrive* drive = Find(request.adapter, request.target, request.lun);
        if (drive && (drive->Config().peripheral >> 5) == 0) {
            request.deviceType = static_cast<uint8_t>(drive->Config().peripheral & 0x1F);
            request.status = aspi::kStatusCompleted;
        } else {
            request.status = aspi::kStatusNoDevice;
        }
        return request.status;
    }

    uint32_t ExecuteRequest(aspi::SExecute& request) {
        sim::VirtualDrive* drive = Find(request.adapter, request.target, request.lun);
        if (!drive) {
            request.status = aspi::kStatusNoDevice;
            return request.status;
        }
        auto* data = static_cast<uint8_t*>(addresses_.Find(request.bufferPointer));
        const uint8_t direction = request.flags & (kDirIn | kDirOut);
        const sim::SCommandOutcome outcome =
            drive->Execute(request.commandBlock, direction, data, data ? request.bufferLength : 0);
        if (outcome.timedOut && !outcome.held) return aspi::kStatusPending;  // stays pending; the event is never set
        if (outcome.held) {
            // The adapter's own time-out ran out on a drive that holds its
            // answer: the layer completes the request with that, at once.
            request.hostStatus = aspi::kHostCommandTimeout;
            request.status = aspi::kStatusError;
            signalled_ = true;
            return request.status;
        }
        request.targetStatus = outcome.scsiStatus;
        if (request.flags & aspi::kFlagResidualCount) {
            request.bufferLength -= std::min(outcome.transferred, request.bufferLength);
        }
        if (outcome.scsiStatus != 0) {
            std::memcpy(request.senseArea, drive->LastSense().bytes,
                        std::min<size_t>(request.senseLength, sizeof(sim::SSense)));
            request.status = aspi::kStatusError;
        } else {
            request.status = aspi::kStatusCompleted;
        }
        signalled_ = true;
        return request.status;
    }

    uint32_t Abort(aspi::SAbort& request) {
        ++log_->aborts;
        log_->lastAbortTarget = request.requestToAbort;
        request.status = aspi::kStatusCompleted;
        return request.status;
    }

    std::vector<sim::VirtualDrive*> drives_;
    std::shared_ptr<SVirtualSystemLog> log_;
    AddressBook addresses_;
    std::vector<sim::SAspiAddress> addressOf_;
    uint32_t events_ = 0;
    bool signalled_ = false;
};

}  // namespace

std::optional<EVirtualPlatform> ParseVirtualPlatform(const std::string& text) {
    const std::string name = Lower(Trim(text));
    if (name == "linux") return EVirtualPlatform::Linux;
    if (name == "nt") return EVirtualPlatform::Nt;
    if (name == "win98") return EVirtualPlatform::Win98;
    return std::nullopt;
}

bool RigPlatform(const std::map<std::string, std::string>& settings, EVirtualPlatform& platform,
                 std::string& error) {
    platform = EVirtualPlatform::Linux;
    for (const auto& [key, value] : settings) {
        // The machine's registry file is read by the binding that keeps it.
        if (key == "registry") continue;
        if (key != "platform") {
            error = "[Rig] knows only 'platform' and 'registry', not '" + key + "'";
            return false;
        }
        const auto named = ParseVirtualPlatform(value);
        if (!named) {
            error = "[Rig] platform must be linux, nt or win98, not '" + value + "'";
            return false;
        }
        platform = *named;
    }
    return true;
}

std::unique_ptr<DriveRoute> MakeVirtualRoute(std::vector<sim::VirtualDrive*> drives, EVirtualPlatform platform,
                                             std::shared_ptr<SVirtualSystemLog> log) {
    if (!log) log = std::make_shared<SVirtualSystemLog>();
    switch (platform) {
        case EVirtualPlatform::Nt:
            return std::make_unique<PassThroughRoute>(
                std::make_unique<VirtualPassThroughApi>(std::move(drives), std::move(log)));
        case EVirtualPlatform::Win98:
            return std::make_unique<AspiRoute>(std::make_unique<VirtualAspiApi>(std::move(drives), std::move(log)));
        case EVirtualPlatform::Linux:
        default:
            return std::make_unique<SgIoRoute>(std::make_unique<VirtualSgApi>(std::move(drives), std::move(log)));
    }
}

}  // namespace jv
