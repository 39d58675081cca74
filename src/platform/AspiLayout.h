#pragma once
// The request blocks of the ASPI for Win32 layer, byte for byte as the layer
// reads them. Addresses are 32-bit fields: the layer only exists for 32-bit
// Windows, and keeping them as numbers lets every host check the layout.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/DriveRoute.h"

namespace jv::aspi {

inline constexpr uint8_t kCmdHostAdapterInquiry = 0;  // SC_HA_INQUIRY
inline constexpr uint8_t kCmdGetDeviceType = 1;  // SC_GET_DEV_TYPE
inline constexpr uint8_t kCmdExecute = 2;        // SC_EXEC_SCSI_CMD
inline constexpr uint8_t kCmdAbort = 3;          // SC_ABORT_SRB

inline constexpr uint8_t kStatusPending = 0x00;  // SS_PENDING
inline constexpr uint8_t kStatusCompleted = 0x01;
inline constexpr uint8_t kStatusAborted = 0x02;
inline constexpr uint8_t kStatusError = 0x04;
inline constexpr uint8_t kStatusInvalidCommand = 0x80;
inline constexpr uint8_t kStatusInvalidAdapter = 0x81;
inline constexpr uint8_t kStatusNoDevice = 0x82;
inline constexpr uint8_t kStatusInvalidRequest = 0xE0;  // SS_INVALID_SRB
inline constexpr uint8_t kStatusNoAdapters = 0xE8;
// The route hands these on as they are: the Execute statuses are the layer's.
static_assert(kStatusPending == kStatusNotSent && kStatusCompleted == kStatusGood && kStatusError == kStatusAspiError);

// Host adapter status of an execute request (SRB_HaStat).
inline constexpr uint8_t kHostOk = 0x00;
inline constexpr uint8_t kHostTimeout = 0x09;         // HASTAT_TIMEOUT: waited too long to start
inline constexpr uint8_t kHostCommandTimeout = 0x0B;  // HASTAT_COMMAND_TIMEOUT: the adapter gave up on it
inline constexpr uint8_t kHostBusReset = 0x0E;        // HASTAT_BUS_RESET
inline constexpr uint8_t kHostSelectionTimeout = 0x11;
inline constexpr uint8_t kHostDataOverUnderRun = 0x12;  // HASTAT_DO_DU: more or less data than asked

inline constexpr uint8_t kFlagEventNotify = 0x40;  // SRB_EVENT_NOTIFY
// With this flag, a layer whose adapter counts residual bytes leaves in the
// buffer length the bytes that did not move.
inline constexpr uint8_t kFlagResidualCount = 0x04;  // SRB_ENABLE_RESIDUAL_COUNT
// The adapter's answer to a host adapter inquiry says in this bit of its
// unique byte 2 that it counts them.
inline constexpr size_t kUniqueResidualByte = 2;
inline constexpr uint8_t kUniqueResidualSupported = 0x02;  // RESIDUAL_COUNT_SUPPORTED
inline constexpr uint8_t kDeviceTypeCdRom = 5;

inline constexpr uint8_t kSenseLength = 18;

#pragma pack(push, 1)

struct SHostAdapterInquiry {
    uint8_t command;
    uint8_t status;
    uint8_t adapter;
    uint8_t flags;
    uint32_t headerReserved;
    uint8_t adapterCount;
    uint8_t adapterScsiId;
    char managerId[16];
    char adapterId[16];
    uint8_t unique[16];
    uint16_t reserved;
};

struct SGetDeviceType {
    uint8_t command;
    uint8_t status;
    uint8_t adapter;
    uint8_t flags;
    uint32_t headerReserved;
    uint8_t target;
    uint8_t lun;
    uint8_t deviceType;
    uint8_t reserved;
};

struct SExecute {
    uint8_t command;
    uint8_t status;
    uint8_t adapter;
    uint8_t flags;
    uint32_t headerReserved;
    uint8_t target;
    uint8_t lun;
    uint16_t reserved1;
    uint32_t bufferLength;
    uint32_t bufferPointer;
    uint8_t senseLength;
    uint8_t commandLength;
    uint8_t hostStatus;
    uint8_t targetStatus;
    uint32_t postProcedure;  // the event handle with event notification
    uint8_t reserved2[20];
    uint8_t commandBlock[16];
    uint8_t senseArea[kSenseLength + 2];
};

struct SAbort {
    uint8_t command;
    uint8_t status;
    uint8_t adapter;
    uint8_t flags;
    uint32_t headerReserved;
    uint32_t requestToAbort;
};

#pragma pack(pop)

static_assert(sizeof(SHostAdapterInquiry) == 60);
static_assert(offsetof(SHostAdapterInquiry, adapterCount) == 8);
static_assert(offsetof(SHostAdapterInquiry, managerId) == 10);
static_assert(offsetof(SHostAdapterInquiry, unique) == 42);

static_assert(sizeof(SGetDeviceType) == 12);
static_assert(offsetof(SGetDeviceType, target) == 8);
static_assert(offsetof(SGetDeviceType, deviceType) == 10);

static_assert(sizeof(SExecute) == 84);
static_assert(offsetof(SExecute, status) == 1);
static_assert(offsetof(SExecute, flags) == 3);
static_assert(offsetof(SExecute, target) == 8);
static_assert(offsetof(SExecute, bufferLength) == 12);
static_assert(offsetof(SExecute, bufferPointer) == 16);
static_assert(offsetof(SExecute, senseLength) == 20);
static_assert(offsetof(SExecute, targetStatus) == 23);
static_assert(offsetof(SExecute, postProcedure) == 24);
static_assert(offsetof(SExecute, commandBlock) == 48);
static_assert(offsetof(SExecute, senseArea) == 0x40);

static_assert(sizeof(SAbort) == 12);
static_assert(offsetof(SAbort, requestToAbort) == 8);

// What a finished execute request says about the drive: the layer's status
// first, then the adapter's, then the drive's own status and sense. An
// adapter that timed the command out, reset the bus or lost the device
// leaves the drive's part unknown; a length mismatch alone does not.
constexpr ECommandOutcome AspiOutcome(uint8_t status, uint8_t hostStatus, uint8_t targetStatus,
                                      std::span<const uint8_t> sense) {
    if (status == kStatusCompleted) return ECommandOutcome::Good;
    if (status != kStatusError) return ECommandOutcome::NoVerdict;
    if (hostStatus != kHostOk && hostStatus != kHostDataOverUnderRun) return ECommandOutcome::NoVerdict;
    if (targetStatus == 0) return ECommandOutcome::NoVerdict;
    return ClassifyScsiStatus(targetStatus, sense);
}

}  // namespace jv::aspi
