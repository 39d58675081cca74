#include "platform/SgIoRoute.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace jv {

namespace {
bool IsPrivilegeError(int error) { return error == EACCES || error == EPERM; }

// No node, or no device behind it: nothing there to tell the user about.
bool IsAbsent(int error) { return error == ENOENT || error == ENXIO || error == ENODEV; }

// What each program needs of a node; the kernel refuses vendor commands to
// anyone without CAP_SYS_RAWIO, whatever the node's permissions say.
constexpr const char* kAccessNeeded =
    "listing needs read access to the node (group cdrom); update, backup and verify need root (CAP_SYS_RAWIO)";
}  // namespace

int SgNodeNumber(const char* path) {
    constexpr std::string_view kPrefix = "/dev/sr";
    const std::string_view text(path);
    if (text.substr(0, kPrefix.size()) != kPrefix || text.size() == kPrefix.size() || text.size() > 9) return -1;
    int number = 0;
    for (char c : text.substr(kPrefix.size())) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number < kSgNodes ? number : -1;
}

SgIoRoute::SgIoRoute(std::unique_ptr<SgApi> api) : api_(std::move(api)) {}

SgIoRoute::~SgIoRoute() {
    if (descriptor_ >= 0) api_->Close(descriptor_);
}

void SgIoRoute::WarnPrivilege(const char* path) {
    const int node = SgNodeNumber(path);
    if (node < 0 || warned_[node]) return;
    warned_[node] = true;
    api_->Warn(std::string(path) + ": the kernel refused a drive command: " + kAccessNeeded);
}

void SgIoRoute::WarnUnopened(const char* path, int error) {
    const int node = SgNodeNumber(path);
    if (IsAbsent(error) || node < 0 || warned_[node]) return;
    warned_[node] = true;
    const std::string reason = std::strerror(error);
    if (IsPrivilegeError(error)) {
        api_->Warn(std::string(path) + ": " + reason + ": " + kAccessNeeded);
    } else {
        api_->Warn(std::string(path) + ": cannot be opened: " + reason);
    }
}

bool SgIoRoute::InquireNode(int descriptor, const char* path, uint8_t (&reply)[36], int& asked) {
    static constexpr uint8_t kInquiry[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
    for (asked = 1; asked <= kSgInquiryAttempts; ++asked) {
        // A reply without data reads as qualifier 3, type 1Fh: no device.
        std::fill(std::begin(reply), std::end(reply), uint8_t{0});
        reply[0] = 0x7F;
        const uint8_t status = Run(descriptor, path, kInquiry, reply, sizeof reply, kDirIn);
        if (status == kStatusGood) return true;
        // No answer at all (time-out, reset, a refusal of the system) will
        // not change on asking again, and each time-out costs its full wait.
        if (status == kStatusNotSent) return false;
    }
    asked = kSgInquiryAttempts;
    return false;
}

int SgIoRoute::Scan(std::span<SDriveEntry> table) {
    inaccessible_.clear();
    size_t count = 0;
    for (int node = 0; node < kSgNodes && count < table.size(); ++node) {
        char path[12];
        std::snprintf(path, sizeof path, "/dev/sr%d", node);
        const int descriptor = api_->Open(path);
        if (descriptor < 0) {
            WarnUnopened(path, -descriptor);
            if (!IsAbsent(-descriptor)) inaccessible_.push_back({path, std::strerror(-descriptor)});
            continue;
        }
        uint8_t reply[36];
        int asked = 0;
        const bool answered = InquireNode(descriptor, path, reply, asked);
        api_->Close(descriptor);

        // A node is only a name: a container's device list or a udev rule
        // can put a disk behind /dev/srN. Only what answers as a CD/DVD
        // drive is one, and a node that does not answer cannot be told to
        // be one, so it is left out too (a drive that answered its first
        // command with UNIT ATTENTION after a reset was asked again).
        if (!answered) {
            const std::string times = asked > 1 ? " (asked " + std::to_string(asked) + " times)" : "";
            api_->Warn(std::string(path) + ": no answer to INQUIRY" + times +
                       ", so it cannot be told to be a CD/DVD drive; it is not listed");
            inaccessible_.push_back({path, "no answer to INQUIRY"});
            continue;
        }
        if (reply[0] != kPeripheralCdDvd) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "%s: peripheral device type %02Xh, qualifier %u: not a CD/DVD drive (type 05h); it is not "
                          "listed",
                          path, reply[0] & 0x1Fu, static_cast<unsigned>(reply[0] >> 5));
            api_->Warn(line);
            continue;
        }
        SDriveEntry& entry = table[count];
        entry = SDriveEntry{};
        CopyField(entry.devicePath, path);
        std::memcpy(entry.identity, reply + 8, 24);
        entry.identity[24] = '\0';
        std::memcpy(entry.revision, reply + 32, 4);
        ++count;
    }
    return static_cast<int>(count);
}

std::string SgIoRoute::LocateIde(const SDriveEntry& entry, int, SIdeLocation& location) {
    return api_->LocateIde(entry.devicePath, location);
}

void SgIoRoute::Select(const SDriveEntry& entry) {
    if (descriptor_ >= 0) api_->Close(descriptor_);
    CopyField(currentPath_, entry.devicePath);
    descriptor_ = api_->Open(currentPath_);
    if (descriptor_ < 0) {
        WarnUnopened(currentPath_, -descriptor_);
        descriptor_ = -1;
    }
}

uint8_t SgIoRoute::Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) {
    if (descriptor_ < 0) {
        WitnessSending();
        std::memset(sense_, 0, sizeof sense_);
        senseLength_ = 0;
        outcome_ = ECommandOutcome::NoVerdict;
        detail_ = SCommandDetail{};
        detail_.transport = currentPath_[0] ? std::string(currentPath_) + " could not be opened" : "no drive is open";
        WitnessSent(currentPath_, command, data, length, direction, kStatusNotSent);
        return kStatusNotSent;
    }
    return Run(descriptor_, currentPath_, command, data, length, direction);
}

uint8_t SgIoRoute::Run(int descriptor, const char* path, const uint8_t command[12], uint8_t* data,
                       uint16_t length, uint8_t direction) {
    WitnessSending();
    const uint8_t status = Send(descriptor, path, command, data, length, direction);
    WitnessSent(path, command, data, data ? length : 0, direction, status);
    return status;
}

uint8_t SgIoRoute::Send(int descriptor, const char* path, const uint8_t command[12], uint8_t* data,
                        uint16_t length, uint8_t direction) {
    std::memset(sense_, 0, sizeof sense_);
    senseLength_ = 0;
    detail_ = SCommandDetail{};
    if (!data) length = 0;
    const SgApi::SResult result =
        api_->Execute(descriptor, command, data, length, direction, sense_, sizeof sense_, kSgTimeoutSeconds);
    outcome_ = ECommandOutcome::NoVerdict;
    if (result.osError != 0) {
        if (IsPrivilegeError(result.osError)) WarnPrivilege(path);
        detail_.transport = result.transportText.empty() ? std::strerror(result.osError) : result.transportText;
        return kStatusNotSent;
    }
    // A time-out, a reset or an abort on the way says nothing of what the
    // drive did with the command.
    if (result.timedOut) {
        detail_.timeoutSeconds = kSgTimeoutSeconds;
        return kStatusNotSent;
    }
    if (result.transportError) {
        detail_.transport = result.transportText.empty() ? "transport error" : result.transportText;
        return kStatusNotSent;
    }
    // What the kernel says did not move. A residue below 0 is a drive that
    // had more to send than was asked: the buffer is full. One above the
    // length is no count at all, and nothing is taken to have moved.
    if (length > 0 && direction != kDirNone) {
        const int32_t resid = std::max<int32_t>(result.resid, 0);
        detail_.transferred = resid <= length ? length - static_cast<uint32_t>(resid) : 0;
    }
    detail_.answered = true;
    detail_.scsiStatus = result.scsiStatus;
    senseLength_ = std::min<size_t>(result.senseLength, sizeof sense_);
    outcome_ = ClassifyScsiStatus(result.scsiStatus, std::span<const uint8_t>(sense_, senseLength_));
    if (result.scsiStatus == 0 && direction == kDirIn) ClearPastTransfer(data, length, detail_.transferred);
    return result.scsiStatus != 0 ? result.scsiStatus : kStatusGood;
}

size_t SgIoRoute::CopySense(std::span<uint8_t> sense) const {
    const size_t count = std::min(sense.size(), senseLength_);
    std::copy_n(sense_, count, sense.begin());
    return count;
}

}  // namespace jv

#ifdef __linux__
#include <fcntl.h>
#include <scsi/sg_pt.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/SysfsIde.h"

namespace jv {
namespace {

// One pass-through object per command: the library binds an object to the
// first descriptor it is used with, and the probe walks many descriptors.
class PtObject {
public:
    PtObject() : object_(construct_scsi_pt_obj()) {}
    ~PtObject() {
        if (object_) destruct_scsi_pt_obj(object_);
    }
    PtObject(const PtObject&) = delete;
    PtObject& operator=(const PtObject&) = delete;
    sg_pt_base* get() const { return object_; }

private:
    sg_pt_base* object_;
};

// The library's texts end in a line break, which the messages add themselves.
std::string TrimmedLine(const char* text) {
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

class LinuxSgApi final : public SgApi {
public:
    int Open(const char* path) override {
        const int descriptor = open(path, O_RDONLY | O_NONBLOCK);
        return descriptor >= 0 ? descriptor : -errno;
    }
    void Close(int descriptor) override { close(descriptor); }

    SResult Execute(int descriptor, const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction,
                    uint8_t* sense, uint8_t senseLength, int timeoutSeconds) override {
        SResult result;
        PtObject holder;
        sg_pt_base* object = holder.get();
        if (!object) {
            result.osError = ENOMEM;
            return result;
        }
        set_scsi_pt_cdb(object, command, 12);
        set_scsi_pt_sense(object, sense, senseLength);
        if (length > 0 && direction == kDirIn) set_scsi_pt_data_in(object, data, length);
        if (length > 0 && direction == kDirOut) set_scsi_pt_data_out(object, data, length);
        const int done = do_scsi_pt(object, descriptor, timeoutSeconds, 0);
        if (done < 0) {
            result.osError = -done;
            return result;
        }
        if (done == SCSI_PT_DO_TIMEOUT) {
            result.timedOut = true;
            return result;
        }
        if (done != 0) {
            result.transportError = true;
            return result;
        }
        result.resid = get_scsi_pt_resid(object);
        switch (get_scsi_pt_result_category(object)) {
            case SCSI_PT_RESULT_GOOD:
                break;
            case SCSI_PT_RESULT_STATUS:  // BUSY, RESERVATION CONFLICT, or CHECK CONDITION without sense
            case SCSI_PT_RESULT_SENSE:
                result.scsiStatus = static_cast<uint8_t>(get_scsi_pt_status_response(object));
                // Sense without a failing status byte still did not go well.
                if (result.scsiStatus == 0) result.scsiStatus = 2;
                // The library reports sense bytes only with the sense category.
                result.senseLength =
                    static_cast<uint8_t>(std::clamp(get_scsi_pt_sense_len(object), 0, int{senseLength}));
                break;
            case SCSI_PT_RESULT_OS_ERR:
                result.osError = get_scsi_pt_os_err(object);
                if (result.osError == 0) result.transportError = true;
                break;
            default:
                result.transportError = true;
                break;
        }
        if (result.transportError) {
            char text[128] = {};
            get_scsi_pt_transport_err_str(object, static_cast<int>(sizeof text), text);
            result.transportText = TrimmedLine(text);
        }
        return result;
    }

    void Warn(const std::string& line) override {
        std::fputs(line.c_str(), stderr);
        std::fputc('\n', stderr);
    }

    // The node's own device number, not its name, leads into sysfs: the
    // name /dev/srN says nothing of what is behind it.
    std::string LocateIde(const char* path, SIdeLocation& location) override {
        const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0) {
            return std::string(path) + ": " + std::strerror(errno) + ", so the IDE route is refused.";
        }
        struct stat status {};
        const bool known = fstat(descriptor, &status) == 0;
        close(descriptor);
        if (!known || !S_ISBLK(status.st_mode)) {
            return std::string(path) + " is not a block device, so the IDE route is refused.";
        }
        return LocateIdeInSysfs(kSysfsRoot, major(status.st_rdev), minor(status.st_rdev), path, location);
    }
};

}  // namespace

std::unique_ptr<DriveRoute> MakeLinuxSgIoRoute() {
    return std::make_unique<SgIoRoute>(std::make_unique<LinuxSgApi>());
}

}  // namespace jv
#endif
