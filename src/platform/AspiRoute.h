#pragma once
// The ASPI route of Windows 95/98/ME: drives addressed by host adapter,
// target and LUN through the ASPI for Win32 layer. The route's logic talks to
// the layer through AspiApi, so the simulator can play an ASPI machine and
// every host can test the requests the route builds.
#include <array>
#include <memory>

#include "platform/AspiLayout.h"
#include "platform/DriveRoute.h"

namespace jv {

// The ASPI layer and the few kernel calls its requests need. Handles and
// addresses are 32-bit values, as the layer's request blocks hold them.
class AspiApi {
public:
    enum class EWait { Signalled, TimedOut, Failed, Other };

    virtual ~AspiApi() = default;
    virtual uint32_t GetSupportInfo() = 0;
    // What SendASPI32Command returned: SS_PENDING, SS_COMP or an error code.
    virtual uint32_t Send(void* request) = 0;
    // A manual-reset event, initially not signalled; 0 when none was made.
    virtual uint32_t MakeEvent() = 0;
    virtual EWait Wait(uint32_t event, uint32_t milliseconds) = 0;
    virtual void CloseEvent(uint32_t event) = 0;
    // The address the layer sees for a buffer or request block.
    virtual uint32_t AddressOf(void* pointer) = 0;
    virtual void PumpMessages() = 0;
};

inline constexpr uint32_t kAspiWaitMs = 60000;
// A device-type request the layer never completes counts as no device after
// this long, so a broken adapter cannot hold the start-up forever.
inline constexpr uint32_t kAspiScanPollMs = 5000;

// A request the layer refused outright: it answered neither pending nor
// completed, and left the status byte untouched. Such a request will never
// complete, so nobody should wait for it (some layers refuse every request
// this way, e.g. one that only stands in for a missing ASPI manager).
bool AspiRefused(uint32_t sent, uint8_t status);

class AspiRoute final : public DriveRoute {
public:
    // No layer (the library is missing): no drives, every command fails.
    explicit AspiRoute(std::unique_ptr<AspiApi> api);

    int Scan(std::span<SDriveEntry> table) override { return ScanAspiDevices(table); }
    void Select(const SDriveEntry& entry) override;
    uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) override;
    size_t CopySense(std::span<uint8_t> sense) const override;
    ECommandOutcome LastOutcome() const override { return outcome_; }
    const SCommandDetail& LastDetail() const override { return detail_; }
    void PumpMessages() override;
    const char* Name() const override { return "ASPI"; }

    int ScanAspiDevices(std::span<SDriveEntry> table);
    void AbortRequest(aspi::SExecute& request);
    // The number of host adapters, when the layer says it answered.
    uint8_t AdapterCount();

private:
    // One command to the current address, unwitnessed.
    uint8_t Send(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction);
    void NoteOutcome(const aspi::SExecute& request, uint16_t length);
    // Whether the adapter counts residual bytes, from its host adapter
    // inquiry; a layer that does not answer it completed counts none.
    bool CountsResidual(uint8_t adapter);

    std::unique_ptr<AspiApi> api_;
    uint8_t adapter_ = 0;
    uint8_t target_ = 0;
    uint8_t lun_ = 0;
    // Allocated once and reused for every command. The scan's request stays
    // too: a layer that completes it late must not write into freed memory.
    std::unique_ptr<aspi::SExecute> request_;
    std::unique_ptr<aspi::SGetDeviceType> scanRequest_;
    aspi::SAbort abort_{};
    ECommandOutcome outcome_ = ECommandOutcome::NoVerdict;
    SCommandDetail detail_;
    // Per adapter: 0 not asked yet, 1 counts no residual bytes, 2 counts them.
    std::array<uint8_t, 256> residual_{};
};

// The real layer: WNASPI32.DLL from the system directory (Windows only).
// Prints "WNASPI32.DLL not found" and gives a route without drives when the
// library or one of its two entry points is missing.
std::unique_ptr<DriveRoute> MakeWin32AspiRoute();

}  // namespace jv
