// The ASPI route: its scan of adapters, targets and LUNs, its waits, and
// what counts as a refusal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "DriveAccessFixture.h"
#include "drive/Winfunc.h"
#include "flash/Flashknl.h"
#include "platform/AspiRoute.h"
#include "platform/Clock.h"
#include "platform/PassThroughRoute.h"
#include "platform/SgIoRoute.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"
#include "sim/VirtualRoute.h"

namespace jv {
namespace {

class FakeAspiLayer final : public AspiApi {
public:
    uint32_t supportInfo = 0x0100;
    std::map<std::tuple<int, int, int>, uint8_t> devices;  // (adapter, target, LUN) -> type
    std::vector<std::tuple<int, int, int>> asked;
    std::vector<std::tuple<int, int, int>> executedOn;
    bool failEvents = false;
    bool neverComplete = false;
    int pendingPolls = 0;  // device-type requests stay pending this many polls
    EWait waitResult = EWait::TimedOut;
    uint32_t waitedMs = 0;
    int aborts = 0;
    uint32_t abortedAddress = 0;
    int eventsOpen = 0;
    int sends = 0;
    uint32_t refuseWith = 0;

    uint32_t GetSupportInfo() override { return supportInfo; }
    uint32_t Send(void* request) override {
        ++sends;
        const uint8_t command = *static_cast<uint8_t*>(request);
        // A layer that refuses every request without touching it.
        if (refuseWith != 0) return refuseWith;
        if (command == aspi::kCmdGetDeviceType) {
            auto& r = *static_cast<aspi::SGetDeviceType*>(request);
            asked.emplace_back(r.adapter, r.target, r.lun);
            scan_ = &r;
            auto it = devices.find({r.adapter, r.target, r.lun});
            scanStatus_ = it == devices.end() ? aspi::kStatusNoDevice : aspi::kStatusCompleted;
            if (it != devices.end()) r.deviceType = it->second;
            polls_ = pendingPolls;
            if (polls_ == 0) r.status = scanStatus_;
        } else if (command == aspi::kCmdExecute) {
            auto& r = *static_cast<aspi::SExecute*>(request);
            executedOn.emplace_back(r.adapter, r.target, r.lun);
            if (!neverComplete) r.status = aspi::kStatusCompleted;
        } else if (command == aspi::kCmdAbort) {
            ++aborts;
            abortedAddress = static_cast<aspi::SAbort*>(request)->requestToAbort;
        }
        return *(static_cast<uint8_t*>(request) + 1);
    }
    uint32_t MakeEvent() override {
        if (failEvents) return 0;
        ++eventsOpen;
        return 9;
    }
    EWait Wait(uint32_t, uint32_t milliseconds) override {
        waitedMs = milliseconds;
        return waitResult;
    }
    void CloseEvent(uint32_t) override { --eventsOpen; }
    uint32_t AddressOf(void* pointer) override { return pointer ? 0x1000u : 0; }
    void PumpMessages() override {
        if (scan_ && polls_ > 0 && --polls_ == 0) scan_->status = scanStatus_;
    }

private:
    aspi::SGetDeviceType* scan_ = nullptr;
    uint8_t scanStatus_ = 0;
    int polls_ = 0;
};

TEST(AspiScan, AdaptersThenTargetsThenLunsAndOnlyCdRoms) {
    VirtualClockScope time;
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.supportInfo = 0x0100 | 2;
    layer.devices = {{{1, 0, 0}, 5}, {{0, 1, 0}, 5}, {{0, 0, 0}, 0}, {{0, 6, 3}, 5}};
    layer.pendingPolls = 3;  // the layer answers only after messages were pumped
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.ScanAspiDevices(table), 3);
    EXPECT_EQ(std::tie(table[0].adapter, table[0].target, table[0].lun), std::make_tuple(0, 1, 0));
    EXPECT_EQ(std::tie(table[1].adapter, table[1].target, table[1].lun), std::make_tuple(0, 6, 3));
    EXPECT_EQ(std::tie(table[2].adapter, table[2].target, table[2].lun), std::make_tuple(1, 0, 0));
    EXPECT_EQ(layer.asked.size(), 128u);  // 2 adapters x 8 targets x 8 LUNs
    EXPECT_EQ(layer.asked[1], std::make_tuple(0, 0, 1));
    EXPECT_EQ(layer.asked[8], std::make_tuple(0, 1, 0));
    // Each drive found is asked for its identity on its own address.
    EXPECT_EQ(layer.executedOn,
              (std::vector<std::tuple<int, int, int>>{{0, 1, 0}, {0, 6, 3}, {1, 0, 0}}));
}

TEST(AspiScan, AdapterCountCountsOnlyWhenTheLayerSaysCompleted) {
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.supportInfo = (uint32_t{aspi::kStatusNoAdapters} << 8) | 3;
    layer.devices = {{{0, 0, 0}, 5}};
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    EXPECT_EQ(route.ScanAspiDevices(table), 0);
    EXPECT_TRUE(layer.asked.empty());
}

TEST(AspiScan, ARequestTheLayerNeverCompletesDoesNotHoldTheStartUp) {
    VirtualClockScope time;
    auto api = std::make_unique<FakeAspiLayer>();
    api->supportInfo = 0x0100 | 1;
    api->pendingPolls = 1 << 30;
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    EXPECT_EQ(route.ScanAspiDevices(table), 0);
    EXPECT_GE(time.clock.MonotonicMs(), 64u * kAspiScanPollMs);
}

TEST(AspiExecute, NoEventMeansNothingSentAndStatus4) {
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.failEvents = true;
    AspiRoute route(std::move(api));
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 4);
    EXPECT_EQ(layer.sends, 0);
}

TEST(AspiExecute, ARequestStillPendingAfterSixtySecondsIsAborted) {
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.neverComplete = true;
    AspiRoute route(std::move(api));
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 4);
    EXPECT_EQ(layer.waitedMs, 60000u);
    EXPECT_EQ(layer.aborts, 1);
    EXPECT_EQ(layer.abortedAddress, 0x1000u);
    EXPECT_EQ(layer.eventsOpen, 0);
    EXPECT_EQ(route.LastOutcome(), ECommandOutcome::NoVerdict);

    layer.waitResult = AspiApi::EWait::Other;  // e.g. an abandoned wait: failure, but no abort
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 4);
    EXPECT_EQ(layer.aborts, 1);

    layer.waitResult = AspiApi::EWait::Signalled;  // signalled with the status still pending
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0);
    EXPECT_EQ(layer.eventsOpen, 0);
}

TEST(AspiRefusal, OnlyAnUntouchedRequestWithAnErrorReturnIsRefused) {
    EXPECT_FALSE(AspiRefused(aspi::kStatusPending, aspi::kStatusPending));   // queued: wait for it
    EXPECT_FALSE(AspiRefused(aspi::kStatusCompleted, aspi::kStatusPending)); // done, status still on its way
    EXPECT_TRUE(AspiRefused(0xE0, aspi::kStatusPending));
    EXPECT_TRUE(AspiRefused(aspi::kStatusNoDevice, aspi::kStatusPending));
    EXPECT_FALSE(AspiRefused(aspi::kStatusError, aspi::kStatusError));       // an answer, not a refusal
}

TEST(AspiRefusal, ALayerThatRefusesEverythingCostsNoWait) {
    VirtualClockScope time;
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.supportInfo = 0x0100 | 2;
    layer.refuseWith = 0xE0;
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    EXPECT_EQ(route.ScanAspiDevices(table), 0);
    EXPECT_EQ(layer.sends, 128);
    EXPECT_LT(time.clock.MonotonicMs(), 1000u);

    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0xE0);
    EXPECT_EQ(layer.waitedMs, 0u);
    EXPECT_EQ(layer.aborts, 0);
    EXPECT_EQ(layer.eventsOpen, 0);
    // A refusal whose code could pass for a good status is still a failure.
    layer.refuseWith = 0x101;
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), aspi::kStatusError);
    EXPECT_EQ(layer.waitedMs, 0u);
}

}  // namespace
}  // namespace jv
