#include "platform/AspiRoute.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "platform/Console.h"

namespace jv {

namespace {
// The layer writes the status byte from its own thread.
uint8_t StatusOf(const volatile uint8_t& status) { return status; }

uint8_t AspiDirection(uint8_t direction) {
    return direction == kDirIn || direction == kDirOut ? direction : kDirNone;
}
}  // namespace

bool AspiRefused(uint32_t sent, uint8_t status) {
    return sent != aspi::kStatusPending && sent != aspi::kStatusCompleted && status == aspi::kStatusPending;
}

AspiRoute::AspiRoute(std::unique_ptr<AspiApi> api)
    : api_(std::move(api)),
      request_(std::make_unique<aspi::SExecute>()),
      scanRequest_(std::make_unique<aspi::SGetDeviceType>()) {}

uint8_t AspiRoute::AdapterCount() {
    const uint32_t info = api_->GetSupportInfo();
    // Without the completed status the low byte is not a count.
    if (((info >> 8) & 0xFF) != aspi::kStatusCompleted) return 0;
    return static_cast<uint8_t>(info & 0xFF);
}

int AspiRoute::ScanAspiDevices(std::span<SDriveEntry> table) {
    if (!api_) return 0;
    size_t count = 0;
    const uint8_t adapters = AdapterCount();
    for (uint8_t adapter = 0; adapter < adapters; ++adapter) {
        for (uint8_t target = 0; target < 8; ++target) {
            for (uint8_t lun = 0; lun < 8; ++lun) {
                if (count >= table.size()) return static_cast<int>(count);
                aspi::SGetDeviceType& request = *scanRequest_;
                request = aspi::SGetDeviceType{};
                request.command = aspi::kCmdGetDeviceType;
                request.adapter = adapter;
                request.target = target;
                request.lun = lun;
                const uint32_t sent = api_->Send(&request);
                if (AspiRefused(sent, StatusOf(request.status))) continue;
                const uint64_t deadline = NowMs() + kAspiScanPollMs;
                while (StatusOf(request.status) == aspi::kStatusPending && NowMs() < deadline) {
                    api_->PumpMessages();
                    SleepMs(1);
                }
                if (StatusOf(request.status) != aspi::kStatusCompleted ||
                    request.deviceType != aspi::kDeviceTypeCdRom)
                    continue;

                SDriveEntry& entry = table[count];
                entry = SDriveEntry{};
                entry.adapter = adapter;
                entry.target = target;
                entry.lun = lun;
                adapter_ = adapter;
                target_ = target;
                lun_ = lun;
                static constexpr uint8_t kInquiry[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
                uint8_t reply[36] = {};
                // A drive that does not answer is listed all the same; its
                // identity is read again whenever it is shown.
                Execute(kInquiry, reply, sizeof reply, kDirIn);
                std::memcpy(entry.identity, reply + 8, 28);
                entry.identity[28] = '\0';
                ++count;
            }
        }
    }
    return static_cast<int>(count);
}

void AspiRoute::Select(const SDriveEntry& entry) {
    adapter_ = entry.adapter;
    target_ = entry.target;
    lun_ = entry.lun;
}

bool AspiRoute::CountsResidual(uint8_t adapter) {
    uint8_t& known = residual_[adapter];
    if (known == 0) {
        // The inquiry completes at once on every layer; one that leaves it
        // pending or refuses it has said nothing about counting.
        aspi::SHostAdapterInquiry inquiry{};
        inquiry.command = aspi::kCmdHostAdapterInquiry;
        inquiry.adapter = adapter;
        api_->Send(&inquiry);
        const bool counts = StatusOf(inquiry.status) == aspi::kStatusCompleted &&
                            (inquiry.unique[aspi::kUniqueResidualByte] & aspi::kUniqueResidualSupported) != 0;
        known = counts ? 2 : 1;
    }
    return known == 2;
}

uint8_t AspiRoute::Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) {
    WitnessSending();
    const uint8_t status = Send(command, data, length, direction);
    const std::string device = Format("%u:%u:%u", static_cast<unsigned>(adapter_), static_cast<unsigned>(target_),
                                      static_cast<unsigned>(lun_));
    WitnessSent(device, command, data, data ? length : 0, direction, status);
    return status;
}

uint8_t AspiRoute::Send(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) {
    // Until the layer says otherwise, nothing is known of the drive.
    outcome_ = ECommandOutcome::NoVerdict;
    detail_ = SCommandDetail{};
    if (!api_) {
        detail_.transport = "no ASPI layer";
        return aspi::kStatusError;
    }
    if (!data) length = 0;
    const bool withData = length > 0 && AspiDirection(direction) != kDirNone;
    const bool countResidual = withData && CountsResidual(adapter_);
    const uint32_t event = api_->MakeEvent();
    if (event == 0) {
        detail_.transport = "no event to wait for the ASPI layer on";
        return aspi::kStatusError;
    }

    aspi::SExecute& request = *request_;
    request = aspi::SExecute{};
    request.command = aspi::kCmdExecute;
    request.adapter = adapter_;
    request.flags = static_cast<uint8_t>(AspiDirection(direction) | aspi::kFlagEventNotify |
                                         (countResidual ? aspi::kFlagResidualCount : 0));
    request.target = target_;
    request.lun = lun_;
    request.bufferLength = length;
    request.bufferPointer = data ? api_->AddressOf(data) : 0;
    request.senseLength = aspi::kSenseLength;
    request.commandLength = 12;
    request.postProcedure = event;
    std::memcpy(request.commandBlock, command, 12);

    const uint32_t sent = api_->Send(&request);
    const uint8_t early = StatusOf(request.status);
    if (early != aspi::kStatusPending) {
        api_->CloseEvent(event);
        NoteOutcome(request, length);
        if (early == aspi::kStatusCompleted && direction == kDirIn) ClearPastTransfer(data, length, detail_.transferred);
        return early;
    }
    if (AspiRefused(sent, early)) {
        api_->CloseEvent(event);
        const auto code = static_cast<uint8_t>(sent);
        detail_.transport = Format("the ASPI layer refused the request (status %02Xh)", code);
        return code != aspi::kStatusPending && code != aspi::kStatusCompleted ? code : aspi::kStatusError;
    }
    const AspiApi::EWait waited = api_->Wait(event, kAspiWaitMs);
    if (waited == AspiApi::EWait::Signalled) {
        api_->CloseEvent(event);
        NoteOutcome(request, length);
        const uint8_t status = StatusOf(request.status);
        if (status == aspi::kStatusCompleted && direction == kDirIn) ClearPastTransfer(data, length, detail_.transferred);
        return status;
    }
    // Abort before the event goes away, so the layer never signals a handle
    // that may already stand for something else.
    if (waited == AspiApi::EWait::TimedOut || waited == AspiApi::EWait::Failed) AbortRequest(request);
    api_->CloseEvent(event);
    if (waited == AspiApi::EWait::TimedOut) {
        detail_.timeoutSeconds = kAspiWaitMs / 1000;
    } else {
        detail_.transport = "the wait for the ASPI layer failed";
    }
    return aspi::kStatusError;
}

void AspiRoute::NoteOutcome(const aspi::SExecute& request, uint16_t length) {
    // The layer fills host and target status, sense and the residual count
    // before the status byte.
    const uint8_t status = StatusOf(request.status);
    outcome_ = aspi::AspiOutcome(status, request.hostStatus, request.targetStatus,
                                 std::span<const uint8_t>(request.senseArea, aspi::kSenseLength));
    const bool adapterOk = request.hostStatus == aspi::kHostOk || request.hostStatus == aspi::kHostDataOverUnderRun;
    if (status == aspi::kStatusCompleted || (status == aspi::kStatusError && adapterOk)) {
        // With residual counting the length field comes back as what did
        // not move; without it the layer gives no count, and the length
        // asked is all there is to go by.
        const uint32_t left = (request.flags & aspi::kFlagResidualCount) ? request.bufferLength : 0;
        detail_.transferred = length - std::min<uint32_t>(left, length);
    }
    if (status == aspi::kStatusCompleted || (status == aspi::kStatusError && adapterOk && request.targetStatus != 0)) {
        detail_.answered = true;
        detail_.scsiStatus = status == aspi::kStatusCompleted ? 0 : request.targetStatus;
    } else if (status == aspi::kStatusError) {
        detail_.transport = Format("host adapter status %02Xh", request.hostStatus);
    } else {
        detail_.transport = Format("ASPI status %02Xh", status);
    }
}

void AspiRoute::AbortRequest(aspi::SExecute& request) {
    abort_ = aspi::SAbort{};
    abort_.command = aspi::kCmdAbort;
    abort_.adapter = adapter_;
    abort_.requestToAbort = api_->AddressOf(&request);
    api_->Send(&abort_);
}

size_t AspiRoute::CopySense(std::span<uint8_t> sense) const {
    const size_t count = std::min<size_t>(sense.size(), aspi::kSenseLength);
    std::copy_n(request_->senseArea, count, sense.begin());
    return count;
}

void AspiRoute::PumpMessages() {
    if (api_) api_->PumpMessages();
}

}  // namespace jv

#ifdef _WIN32
#include <windows.h>

#include <string>

#include "platform/Console.h"

namespace jv {
namespace {

static_assert(sizeof(void*) == 4, "the ASPI layer and its request blocks are 32-bit");

using GetSupportInfoFn = DWORD(__cdecl*)(void);
using SendCommandFn = DWORD(__cdecl*)(void*);

HANDLE ToHandle(uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

class Win32AspiApi final : public AspiApi {
public:
    Win32AspiApi(HMODULE module, GetSupportInfoFn getSupportInfo, SendCommandFn send)
        : module_(module), getSupportInfo_(getSupportInfo), send_(send) {}
    ~Win32AspiApi() override { FreeLibrary(module_); }
    Win32AspiApi(const Win32AspiApi&) = delete;
    Win32AspiApi& operator=(const Win32AspiApi&) = delete;

    uint32_t GetSupportInfo() override { return getSupportInfo_(); }
    uint32_t Send(void* request) override { return send_(request); }
    uint32_t MakeEvent() override {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return event ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event)) : 0;
    }
    EWait Wait(uint32_t event, uint32_t milliseconds) override {
        switch (WaitForSingleObject(ToHandle(event), milliseconds)) {
            case WAIT_OBJECT_0: return EWait::Signalled;
            case WAIT_TIMEOUT: return EWait::TimedOut;
            case WAIT_FAILED: return EWait::Failed;
            default: return EWait::Other;
        }
    }
    void CloseEvent(uint32_t event) override { CloseHandle(ToHandle(event)); }
    uint32_t AddressOf(void* pointer) override { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }
    void PumpMessages() override {
        MSG message;
        if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }

private:
    HMODULE module_;
    GetSupportInfoFn getSupportInfo_;
    SendCommandFn send_;
};

template <typename Fn>
Fn EntryPoint(HMODULE module, const char* name) {
    // Through the generic function type: a direct cast between unrelated
    // function types draws a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

std::unique_ptr<DriveRoute> MakeWin32AspiRoute() {
    char directory[MAX_PATH] = {};
    const UINT used = GetSystemDirectoryA(directory, MAX_PATH);
    HMODULE module = nullptr;
    if (used > 0 && used < MAX_PATH) {
        const std::string path = std::string(directory, used) + "\\WNASPI32.DLL";
        module = LoadLibraryA(path.c_str());
    }
    GetSupportInfoFn getSupportInfo = nullptr;
    SendCommandFn send = nullptr;
    if (module) {
        getSupportInfo = EntryPoint<GetSupportInfoFn>(module, "GetASPI32SupportInfo");
        send = EntryPoint<SendCommandFn>(module, "SendASPI32Command");
    }
    // A library without both entry points is of no use: as good as missing.
    if (!getSupportInfo || !send) {
        if (module) FreeLibrary(module);
        Print("WNASPI32.DLL not found\n");
        return std::make_unique<AspiRoute>(nullptr);
    }
    return std::make_unique<AspiRoute>(std::make_unique<Win32AspiApi>(module, getSupportInfo, send));
}

}  // namespace jv
#endif
