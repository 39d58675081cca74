#pragma once
// The SCSI pass-through-direct request of the NT family and the 80-byte
// buffer the program sends it in, as the 32-bit kernel interface lays them
// out. The data address is a 32-bit field for the same reason as in the
// ASPI blocks: the program is a 32-bit one, and every host can check this.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/DriveRoute.h"

namespace jv::passthrough {

inline constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr uint8_t kDataOut = 0;          // SCSI_IOCTL_DATA_OUT
inline constexpr uint8_t kDataIn = 1;           // SCSI_IOCTL_DATA_IN
inline constexpr uint8_t kDataUnspecified = 2;  // SCSI_IOCTL_DATA_UNSPECIFIED
inline constexpr uint32_t kTimeOutSeconds = 20;
// Sense bytes asked of the driver, of the 32-byte area behind the request.
inline constexpr uint8_t kSenseInfoLength = 24;
inline constexpr uint32_t kErrorSemTimeout = 121;
inline constexpr uint32_t kErrorIoDevice = 1117;

struct SScsiPassThroughDirect {
    uint16_t length;
    uint8_t scsiStatus;
    uint8_t pathId;
    uint8_t targetId;
    uint8_t lun;
    uint8_t cdbLength;
    uint8_t senseInfoLength;
    uint8_t dataIn;
    uint32_t dataTransferLength;
    uint32_t timeOutValue;
    uint32_t dataBuffer;
    uint32_t senseInfoOffset;
    uint8_t cdb[16];
};

struct SPassThroughBuffer {
    SScsiPassThroughDirect request;
    uint32_t filler;
    uint8_t sense[32];
};

static_assert(sizeof(SScsiPassThroughDirect) == 44);
static_assert(offsetof(SScsiPassThroughDirect, scsiStatus) == 2);
static_assert(offsetof(SScsiPassThroughDirect, dataIn) == 8);
static_assert(offsetof(SScsiPassThroughDirect, dataTransferLength) == 12);
static_assert(offsetof(SScsiPassThroughDirect, timeOutValue) == 16);
static_assert(offsetof(SScsiPassThroughDirect, dataBuffer) == 20);
static_assert(offsetof(SScsiPassThroughDirect, senseInfoOffset) == 24);
static_assert(offsetof(SScsiPassThroughDirect, cdb) == 28);
static_assert(sizeof(SPassThroughBuffer) == 80);
static_assert(offsetof(SPassThroughBuffer, sense) == 48);

// Maps the program's direction code to the request's DataIn value.
constexpr uint8_t MapDirection(uint8_t direction) {
    return direction == 0x08 ? kDataIn : direction == 0x10 ? kDataOut : kDataUnspecified;
}

// The status of one pass-through call. A call that failed with a time-out or
// a device error has not run the command: even with ScsiStatus left at 0 it
// is a failure, so a timed-out page transfer can never let a flash go on.
constexpr uint8_t PassThroughStatus(bool callSucceeded, uint32_t lastError, uint8_t scsiStatus) {
    if (callSucceeded) return scsiStatus != kScsiGood ? scsiStatus : kStatusGood;
    if (lastError == kErrorSemTimeout || lastError == kErrorIoDevice) {
        return scsiStatus != kScsiGood ? scsiStatus : kStatusNotSent;
    }
    return kStatusNotSent;
}

// What the same call says about the drive. Only a call that reached the
// drive and came back with its status can carry a refusal; the time-out and
// device errors without a status byte, and every other failure of the call,
// leave the drive's part unknown.
constexpr ECommandOutcome PassThroughOutcome(bool callSucceeded, uint32_t lastError, uint8_t scsiStatus,
                                             std::span<const uint8_t> sense) {
    if (!callSucceeded && lastError != kErrorSemTimeout && lastError != kErrorIoDevice) {
        return ECommandOutcome::NoVerdict;
    }
    if (!callSucceeded && scsiStatus == 0) return ECommandOutcome::NoVerdict;
    return ClassifyScsiStatus(scsiStatus, sense);
}

}  // namespace jv::passthrough
