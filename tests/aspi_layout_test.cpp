// The request blocks the ASPI layer and the NT pass-through interface read,
// checked byte for byte as the route fills them, on every host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/AspiRoute.h"
#include "platform/PassThroughLayout.h"
#include "platform/PassThroughRoute.h"

namespace jv {
namespace {

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

constexpr uint8_t kModeSense[12] = {0x5A, 0, 0x2A, 0, 0, 0, 0, 0x01, 0x00, 0, 0, 0};

// An ASPI layer that keeps a copy of every block it is sent and completes
// execute requests at once with the given status and sense. Its adapters
// answer the host adapter inquiry, counting residual bytes when told to;
// a request asking for the count then leaves `residual` bytes unmoved,
// although the data area is filled whole (as a driver may leave it).
class ImmediateAspi final : public AspiApi {
public:
    std::vector<std::vector<uint8_t>> sent;
    uint8_t completeWith = aspi::kStatusCompleted;
    uint8_t senseKey = 0;
    bool countsResidual = false;
    uint32_t residual = 0;

    uint32_t GetSupportInfo() override { return 0x0100 | 1; }
    uint32_t Send(void* request) override {
        auto* bytes = static_cast<uint8_t*>(request);
        const size_t size = bytes[0] == aspi::kCmdExecute ? sizeof(aspi::SExecute)
                            : bytes[0] == aspi::kCmdHostAdapterInquiry ? sizeof(aspi::SHostAdapterInquiry)
                                                                       : 12;
        sent.emplace_back(bytes, bytes + size);
        if (bytes[0] == aspi::kCmdHostAdapterInquiry) {
            auto& inquiry = *static_cast<aspi::SHostAdapterInquiry*>(request);
            if (countsResidual) inquiry.unique[aspi::kUniqueResidualByte] = aspi::kUniqueResidualSupported;
            inquiry.status = aspi::kStatusCompleted;
            return inquiry.status;
        }
        if (bytes[0] == aspi::kCmdExecute) {
            auto& block = *static_cast<aspi::SExecute*>(request);
            block.senseArea[2] = senseKey;
            if (data && block.bufferLength) std::fill_n(data, block.bufferLength, uint8_t{0xEE});
            if (block.flags & aspi::kFlagResidualCount) block.bufferLength = residual;
            block.status = completeWith;
        }
        return completeWith;
    }
    uint32_t MakeEvent() override { return 0x77; }
    EWait Wait(uint32_t, uint32_t) override { return EWait::Signalled; }
    void CloseEvent(uint32_t) override {}
    uint32_t AddressOf(void* pointer) override {
        data = static_cast<uint8_t*>(pointer);
        return pointer ? 0xCAFE0000u : 0;
    }
    void PumpMessages() override {}

private:
    uint8_t* data = nullptr;
};

TEST(AspiRequest, ExecuteBlockCarriesEveryFieldWhereTheLayerReadsIt) {
    auto api = std::make_unique<ImmediateAspi>();
    ImmediateAspi& layer = *api;
    AspiRoute route(std::move(api));
    SDriveEntry entry;
    entry.adapter = 1;
    entry.target = 3;
    entry.lun = 2;
    route.Select(entry);
    uint8_t data[8] = {};
    ASSERT_EQ(route.Execute(kModeSense, data, sizeof data, kDirIn), aspi::kStatusCompleted);

    // The first command with data asks the adapter whether it counts
    // residual bytes; this one does not, so none are asked for.
    ASSERT_EQ(layer.sent.size(), 2u);
    EXPECT_EQ(layer.sent[0][0], aspi::kCmdHostAdapterInquiry);
    EXPECT_EQ(layer.sent[0][2], 1);  // of the drive's adapter
    const std::vector<uint8_t>& block = layer.sent[1];
    ASSERT_EQ(block.size(), 84u);
    EXPECT_EQ(block[0], 2);     // execute SCSI command
    EXPECT_EQ(block[1], 0);     // status cleared before sending
    EXPECT_EQ(block[2], 1);     // adapter
    EXPECT_EQ(block[3], 0x48);  // data in, event notification
    EXPECT_EQ(Le32(block, 4), 0u);
    EXPECT_EQ(block[8], 3);  // target
    EXPECT_EQ(block[9], 2);  // LUN
    EXPECT_EQ(Le32(block, 12), 8u);
    EXPECT_EQ(Le32(block, 16), 0xCAFE0000u);
    EXPECT_EQ(block[20], 18);  // sense length
    EXPECT_EQ(block[21], 12);  // command length
    EXPECT_EQ(Le32(block, 24), 0x77u);  // the event handle
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 48, block.begin() + 60),
              std::vector<uint8_t>(kModeSense, kModeSense + 12));
    for (size_t i = 64; i < 84; ++i) EXPECT_EQ(block[i], 0) << "sense byte " << i;
}

TEST(AspiRequest, DirectionsMapToFlagsAndSenseComesFromOffset0x40) {
    auto api = std::make_unique<ImmediateAspi>();
    ImmediateAspi& layer = *api;
    AspiRoute route(std::move(api));
    uint8_t data[4] = {};
    route.Execute(kModeSense, data, sizeof data, kDirOut);  // after the host adapter inquiry
    route.Execute(kModeSense, nullptr, 0, kDirNone);
    route.Execute(kModeSense, data, sizeof data, 0x55);  // not a direction: no data phase
    ASSERT_EQ(layer.sent.size(), 4u);
    EXPECT_EQ(layer.sent[1][3], 0x50);
    EXPECT_EQ(layer.sent[2][3], 0x40);
    EXPECT_EQ(Le32(layer.sent[2], 16), 0u);
    EXPECT_EQ(layer.sent[3][3], 0x40);

    layer.completeWith = aspi::kStatusError;
    layer.senseKey = 0x85;
    EXPECT_EQ(route.Execute(kModeSense, data, sizeof data, kDirIn), aspi::kStatusError);
    uint8_t sense[18];
    route.CopySense(sense);
    EXPECT_EQ(sense[2], 0x85);
}

// An adapter that counts residual bytes is asked to, once; what it leaves in
// the length field is what did not move, and the rest of the data area is
// not the drive's.
TEST(AspiRequest, AnAdapterThatCountsResidualBytesTellsWhatMoved) {
    auto api = std::make_unique<ImmediateAspi>();
    ImmediateAspi& layer = *api;
    layer.countsResidual = true;
    layer.residual = 3;
    AspiRoute route(std::move(api));
    uint8_t data[8] = {};
    ASSERT_EQ(route.Execute(kModeSense, data, sizeof data, kDirIn), aspi::kStatusCompleted);
    EXPECT_EQ(layer.sent.back()[3], 0x4C);  // data in, residual count, event notification
    EXPECT_EQ(route.LastDetail().transferred, 5u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0, 0, 0}));
    layer.residual = 0;
    ASSERT_EQ(route.Execute(kModeSense, data, sizeof data, kDirIn), aspi::kStatusCompleted);
    EXPECT_EQ(route.LastDetail().transferred, 8u);
    EXPECT_EQ(layer.sent.size(), 3u) << "the adapter was asked once";
}

TEST(AspiRequest, AbortBlockNamesTheRequestItStops) {
    auto api = std::make_unique<ImmediateAspi>();
    ImmediateAspi& layer = *api;
    AspiRoute route(std::move(api));
    SDriveEntry entry;
    entry.adapter = 2;
    route.Select(entry);
    aspi::SExecute request{};
    route.AbortRequest(request);
    ASSERT_EQ(layer.sent.size(), 1u);
    EXPECT_EQ(layer.sent[0], (std::vector<uint8_t>{3, 0, 2, 0, 0, 0, 0, 0, 0x00, 0x00, 0xFE, 0xCA}));
}

// --- pass-through

class RecordingKernel final : public PassThroughApi {
public:
    std::vector<uint8_t> lastBuffer;
    bool succeed = true;
    uint32_t error = 0;
    uint8_t scsiStatus = 0;

    uint32_t DriveType(const char*) override { return 1; }
    Handle Open(const char*) override { return 5; }
    void Close(Handle) override {}
    bool Ioctl(Handle, passthrough::SPassThroughBuffer& buffer, uint32_t& lastError) override {
        auto* bytes = reinterpret_cast<uint8_t*>(&buffer);
        lastBuffer.assign(bytes, bytes + sizeof buffer);
        buffer.request.scsiStatus = scsiStatus;
        buffer.sense[2] = scsiStatus ? 0x05 : 0;
        lastError = succeed ? 0 : error;
        return succeed;
    }
    uint32_t AddressOf(void* pointer) override { return pointer ? 0x00401000u : 0; }
};

TEST(PassThroughRequest, BufferHoldsTheDirectRequestAndItsSenseArea) {
    auto api = std::make_unique<RecordingKernel>();
    RecordingKernel& kernel = *api;
    PassThroughRoute route(std::move(api));
    uint8_t data[0x40] = {};
    EXPECT_EQ(route.Execute(kModeSense, data, sizeof data, kDirIn), 1);

    const std::vector<uint8_t>& b = kernel.lastBuffer;
    ASSERT_EQ(b.size(), 80u);
    EXPECT_EQ(b[0] | b[1] << 8, 44);
    EXPECT_EQ(b[3], 0);  // path, target, LUN: the open device names the drive
    EXPECT_EQ(b[4], 0);
    EXPECT_EQ(b[5], 0);
    EXPECT_EQ(b[6], 12);
    EXPECT_EQ(b[7], 24);
    EXPECT_EQ(b[8], 1);  // data in
    EXPECT_EQ(Le32(b, 12), 0x40u);
    EXPECT_EQ(Le32(b, 16), 20u);
    EXPECT_EQ(Le32(b, 20), 0x00401000u);
    EXPECT_EQ(Le32(b, 24), 48u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 28, b.begin() + 40),
              std::vector<uint8_t>(kModeSense, kModeSense + 12));

    route.Execute(kModeSense, data, sizeof data, kDirOut);
    EXPECT_EQ(kernel.lastBuffer[8], 0);
    route.Execute(kModeSense, data, sizeof data, 0x33);
    EXPECT_EQ(kernel.lastBuffer[8], 2);
}

TEST(PassThroughRequest, CheckConditionFailsAndItsSenseIsReadFromOffset48) {
    auto api = std::make_unique<RecordingKernel>();
    RecordingKernel& kernel = *api;
    PassThroughRoute route(std::move(api));
    kernel.scsiStatus = 2;
    EXPECT_EQ(route.Execute(kModeSense, nullptr, 0, kDirNone), 2);
    uint8_t sense[18];
    route.CopySense(sense);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&route.Buffer())[48 + 2], 0x05);
}

TEST(PassThroughStatus, OnlyACompletedCallWithoutStatusIsGood) {
    using passthrough::PassThroughStatus;
    EXPECT_EQ(PassThroughStatus(true, 0, 0), 1);
    EXPECT_EQ(PassThroughStatus(true, 0, 2), 2);
    EXPECT_EQ(PassThroughStatus(false, 5, 0), 0);       // access denied
    EXPECT_EQ(PassThroughStatus(false, 6, 2), 0);       // invalid handle: the status byte is stale
    // A time-out or device error has not run the command: a failure even
    // though the status byte stayed 0.
    EXPECT_EQ(PassThroughStatus(false, 121, 0), 0);
    EXPECT_EQ(PassThroughStatus(false, 1117, 0), 0);
    EXPECT_EQ(PassThroughStatus(false, 121, 2), 2);
}

// Sense bytes as a drive returns them: fixed format, the key in byte 2.
std::vector<uint8_t> SenseWithKey(uint8_t key) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    return sense;
}

TEST(PassThroughOutcome, OnlyTheDrivesOwnRefusalIsOne) {
    using passthrough::PassThroughOutcome;
    using E = ECommandOutcome;
    const std::vector<uint8_t> none(18, 0);
    struct SCase {
        const char* what;
        bool succeeded;
        uint32_t error;
        uint8_t scsiStatus;
        std::vector<uint8_t> sense;
        E outcome;
    } cases[] = {
        {"good", true, 0, 0, none, E::Good},
        {"illegal request", true, 0, 2, SenseWithKey(0x05), E::Refused},
        {"illegal request, flag bits above the key", true, 0, 2, SenseWithKey(0x25), E::Refused},
        {"not ready", true, 0, 2, SenseWithKey(0x02), E::NoVerdict},
        {"unit attention", true, 0, 2, SenseWithKey(0x06), E::NoVerdict},
        {"recovered error", true, 0, 2, SenseWithKey(0x01), E::NoVerdict},
        {"check condition, no sense written", true, 0, 2, none, E::NoVerdict},
        {"busy", true, 0, 0x08, none, E::NoVerdict},
        {"semaphore time-out", false, 121, 0, none, E::NoVerdict},
        {"device error with the drive's refusal", false, 1117, 2, SenseWithKey(0x04), E::Refused},
        {"invalid handle, stale status", false, 6, 2, SenseWithKey(0x05), E::NoVerdict},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(PassThroughOutcome(c.succeeded, c.error, c.scsiStatus, c.sense), c.outcome) << c.what;
    }
}

TEST(AspiOutcome, TheLayerThenTheAdapterThenTheDriveHaveTheirSay) {
    using E = ECommandOutcome;
    const std::vector<uint8_t> none(18, 0);
    std::vector<uint8_t> descriptor(18, 0);
    descriptor[0] = 0x72;
    descriptor[1] = 0x05;
    struct SCase {
        const char* what;
        uint8_t status, host, target;
        std::vector<uint8_t> sense;
        E outcome;
    } cases[] = {
        {"completed", aspi::kStatusCompleted, 0, 0, none, E::Good},
        {"illegal request", aspi::kStatusError, 0, 2, SenseWithKey(0x05), E::Refused},
        {"illegal request, descriptor sense", aspi::kStatusError, 0, 2, descriptor, E::Refused},
        {"illegal request with a short transfer", aspi::kStatusError, aspi::kHostDataOverUnderRun, 2,
         SenseWithKey(0x05), E::Refused},
        {"not ready", aspi::kStatusError, 0, 2, SenseWithKey(0x02), E::NoVerdict},
        {"unit attention", aspi::kStatusError, 0, 2, SenseWithKey(0x06), E::NoVerdict},
        {"check condition, no sense", aspi::kStatusError, 0, 2, none, E::NoVerdict},
        {"busy", aspi::kStatusError, 0, 0x08, none, E::NoVerdict},
        {"adapter time-out", aspi::kStatusError, aspi::kHostCommandTimeout, 0, none, E::NoVerdict},
        {"bus reset with stale sense", aspi::kStatusError, aspi::kHostBusReset, 2, SenseWithKey(0x05), E::NoVerdict},
        {"error without any status", aspi::kStatusError, 0, 0, none, E::NoVerdict},
        {"aborted", aspi::kStatusAborted, 0, 0, none, E::NoVerdict},
        {"no device", aspi::kStatusNoDevice, 0, 0, none, E::NoVerdict},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(aspi::AspiOutcome(c.status, c.host, c.target, c.sense), c.outcome) << c.what;
    }
}

}  // namespace
}  // namespace jv
