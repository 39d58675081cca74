// The drive access object: the route of this run, its drive table and
// the last command's outcome; and the timer of the flash engines.
#include "drive/Winfunc.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/SenseText.h"
#include "trace/Recording.h"

namespace jv {

TAtapiImp::TAtapiImp() {
    DetectPlatform();
    // A trace the user asked for is made before the first command, the
    // scan's own included. One that cannot be made leaves the program
    // without a route: no drive is touched, and main says why and ends.
    if (trace::BeginTrace() == trace::ETraceStart::Refused) return;
    route_ = trace::RecordRoute(MakePlatformDriveRoute(usesPassThrough_));
    SetUp();
}

TAtapiImp::TAtapiImp(std::unique_ptr<DriveRoute> route, bool usesPassThrough)
    : route_(std::move(route)), usesPassThrough_(usesPassThrough) {
    SetUp();
}

TAtapiImp::~TAtapiImp() = default;

void TAtapiImp::DetectPlatform() { usesPassThrough_ = DetectPassThroughPlatform(); }

void TAtapiImp::SetUp() {
    driveCount_ = 0;
    currentIndex_ = 0;
    for (SDriveEntry& entry : driveTable_) entry = SDriveEntry{};
    inaccessible_.clear();
    if (!route_) return;
    driveCount_ = std::clamp(route_->Scan(std::span<SDriveEntry>(driveTable_, kMaxDrives)), 0, kMaxDrives);
    inaccessible_ = route_->InaccessibleNodes();
    // With no drive there is nothing to select; every command is refused by
    // the index check anyway.
    if (driveCount_ > 0) SelectDrive(0);
}

void TAtapiImp::Reset(std::unique_ptr<DriveRoute> route, bool usesPassThrough) {
    // The old route closes its devices before the new one opens any.
    route_.reset();
    route_ = std::move(route);
    usesPassThrough_ = usesPassThrough;
    SetUp();
}

void TAtapiImp::SelectDrive(int index) {
    if (!route_ || index < 0 || index >= kMaxDrives) return;
    route_->Select(driveTable_[index]);
}

uint8_t TAtapiImp::ExecuteCommand(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) {
    if (!route_) {
        NoteUnsent("no way to reach drives on this machine");
        return kStatusNotSent;
    }
    const uint8_t status = route_->Execute(command, data, length, direction);
    lastOutcome_ = route_->LastOutcome();
    lastDetail_ = route_->LastDetail();
    // A route never counts more than it was given room for.
    lastDetail_.transferred = data ? std::min<uint32_t>(lastDetail_.transferred, length) : 0;
    return status;
}

void TAtapiImp::NoteUnsent(const char* why) {
    lastOutcome_ = ECommandOutcome::NoVerdict;
    lastDetail_ = SCommandDetail{};
    lastDetail_.transport = why;
}

SSense TAtapiImp::ReadSense() const {
    uint8_t bytes[kSenseCapacity] = {};
    const size_t count = route_ ? std::min(route_->CopySense(bytes), sizeof bytes) : 0;
    return ParseSense(std::span<const uint8_t>(bytes, count));
}

std::string TAtapiImp::LocateIde(int index, SIdeLocation& location) {
    if (!route_ || index < 0 || index >= driveCount_) return "This drive was not found by the drive scan.";
    return route_->LocateIde(driveTable_[index], index, location);
}

void TAtapiImp::PumpMessages() {
    if (route_) route_->PumpMessages();
}

TAtapiImp& TheAtapi() {
    static TAtapiImp instance;
    return instance;
}

namespace {
// The drives are scanned at start-up on every run, whatever the command line
// asks; building the object here makes that happen before main.
[[maybe_unused]] const bool g_builtAtStartUp = (TheAtapi(), true);
}  // namespace

void ResetDriveAccessForTest(std::unique_ptr<DriveRoute> route, bool usesPassThrough) {
    TheAtapi().Reset(std::move(route), usesPassThrough);
}

void ResetDriveAccessForTest() {
    const bool passThrough = DetectPassThroughPlatform();
    TheAtapi().Reset(nullptr, passThrough);
    TheAtapi().Reset(MakePlatformDriveRoute(passThrough), passThrough);
}

bool ExecuteOnDrive(EDriveIndex index, const uint8_t command[12], uint8_t* data, uint16_t length,
                    uint8_t direction) {
    TAtapiImp& atapi = TheAtapi();
    if (!IsDriveIndexValid(index)) {
        atapi.NoteUnsent("no such drive");
        return false;
    }
    if (index != atapi.CurrentIndex()) {
        atapi.SelectDrive(index);
        atapi.SetCurrentIndex(index);
    }
    return atapi.ExecuteCommand(command, data, length, direction) == kStatusGood;
}

SSense ReadSense() { return TheAtapi().ReadSense(); }

ECommandOutcome LastCommandOutcome() { return TheAtapi().LastOutcome(); }

uint32_t LastCommandTransferred() { return TheAtapi().LastDetail().transferred; }

SCommandDetail LastCommandDetail() { return TheAtapi().LastDetail(); }

std::string LastCommandFailure() {
    const SCommandDetail& detail = TheAtapi().LastDetail();
    if (detail.timeoutSeconds != 0) return Format("no answer within %u s", detail.timeoutSeconds);
    if (!detail.transport.empty()) return detail.transport;
    if (!detail.answered) return "no answer";
    const SSense sense = TheAtapi().ReadSense();
    if (sense.valid) return SenseText(sense.key, sense.asc, sense.ascq);
    switch (detail.scsiStatus) {
        case kScsiGood: return "no failure";
        case kScsiCheckCondition: return "CHECK CONDITION without sense data";
        case 0x08: return "the drive is busy (status 08h)";
        case kScsiReservationConflict: return "the drive is reserved for another host (status 18h)";
        default: return Format("status %02Xh", detail.scsiStatus);
    }
}

// --- TPerfTimer

namespace {
// Fast enough for microsecond waits; slow enough that the 32-bit counter
// spans minutes, so a signed comparison against a deadline stays right.
constexpr uint64_t kMaxTimerFrequency = 1u << 24;
}  // namespace

TPerfTimer::TPerfTimer(int32_t unitsPerSecond) : units_(std::max<int32_t>(unitsPerSecond, 1)) {
    uint64_t frequency = TheClock().PerfFrequency();
    while (frequency > kMaxTimerFrequency) {
        frequency >>= 1;
        ++shift_;
    }
    frequency_ = static_cast<uint32_t>(std::max<uint64_t>(frequency, 1));
}

uint32_t TPerfTimer::Now() const { return static_cast<uint32_t>(TheClock().PerfCounter() >> shift_); }

void TPerfTimer::SetDeadline(int slot, int32_t amount) {
    if (slot < 0 || slot >= kSlots) return;
    const double ticks = std::trunc(static_cast<double>(amount) * frequency_ / units_);
    const auto clamped = static_cast<int64_t>(std::clamp(ticks, -2147483647.0, 2147483647.0));
    deadlines_[slot] = static_cast<int32_t>(Now() + static_cast<uint32_t>(clamped));
}

int32_t TPerfTimer::Remaining(int slot) const {
    if (slot < 0 || slot >= kSlots) return 0;
    const auto left = static_cast<int32_t>(static_cast<uint32_t>(deadlines_[slot]) - Now());
    if (left <= 0) return 0;
    const int64_t units = static_cast<int64_t>(left) * units_ / frequency_;
    return static_cast<int32_t>(std::min<int64_t>(units, std::numeric_limits<int32_t>::max()));
}

void TPerfTimer::Delay(int32_t amount) const {
    if (amount <= 0) return;
    // Counted on the full counter so that even a long delay cannot wrap.
    const uint64_t start = TheClock().PerfCounter() >> shift_;
    const uint64_t ticks = static_cast<uint64_t>(amount) * frequency_ / static_cast<uint64_t>(units_);
    while ((TheClock().PerfCounter() >> shift_) - start < ticks) {
    }
}

}  // namespace jv
