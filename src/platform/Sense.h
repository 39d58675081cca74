#pragma once
// Sense data as drives return it, in either of its two formats: fixed
// (response code 70h/71h) or descriptor (72h/73h). A drive answers in the
// format it was set to (the D_SENSE bit of its control mode page), so every
// reader of the key, ASC and ASCQ goes through this one parser rather than
// through byte positions of one format.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ByteOrder.h"

namespace jv {

struct SSense {
    bool valid = false;       // the bytes are sense data in a known format
    bool descriptor = false;  // descriptor format (else fixed)
    uint8_t key = 0;          // the sense key, flag bits removed
    // The byte the key came in, flag bits and all (FILEMARK, EOM, ILI above
    // a fixed sense's key); the key alone in descriptor format, which keeps
    // those flags elsewhere. Texts that show the drive's own byte print this.
    uint8_t keyByte = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    // The information field: where the flashing drives report the bank or
    // block they are at (bits 16-23) and the address within it (bits 0-15).
    // Absent when the drive did not return it.
    bool hasInformation = false;
    uint32_t information = 0;

    // The progress a flashing drive reports, valid with hasInformation.
    uint8_t ProgressBlock() const { return static_cast<uint8_t>(information >> 16); }
    uint16_t ProgressAddress() const { return static_cast<uint16_t>(information); }
};

// The sense keys the program acts on.
inline constexpr uint8_t kSenseNoSense = 0x00;
inline constexpr uint8_t kSenseRecoveredError = 0x01;
inline constexpr uint8_t kSenseNotReady = 0x02;
inline constexpr uint8_t kSenseMediumError = 0x03;
inline constexpr uint8_t kSenseHardwareError = 0x04;
inline constexpr uint8_t kSenseIllegalRequest = 0x05;
inline constexpr uint8_t kSenseUnitAttention = 0x06;
inline constexpr uint8_t kSenseDataProtect = 0x07;

// The additional sense codes the program acts on.
inline constexpr uint8_t kAscBecomingReady = 0x04;  // with NOT READY: at work, e.g. writing its flash
inline constexpr uint8_t kAscPowerOnReset = 0x29;   // with UNIT ATTENTION
inline constexpr uint8_t kAscNoMedium = 0x3A;       // with NOT READY
// With NOT READY / BECOMING READY: what the drive is at.
inline constexpr uint8_t kAscqOperationInProgress = 0x07;
inline constexpr uint8_t kAscqLongWriteInProgress = 0x08;
// With UNIT ATTENTION, on a refused load: the tray still closes on command.
inline constexpr uint8_t kAscTrayClosesOnCommand = 0x1D;

constexpr bool IsNotReady(const SSense& sense) { return sense.key == kSenseNotReady; }
constexpr bool IsUnitAttention(const SSense& sense) { return sense.key == kSenseUnitAttention; }
// No disc in the drive: for the program's purposes the drive is ready.
constexpr bool IsNoMedium(const SSense& sense) { return IsNotReady(sense) && sense.asc == kAscNoMedium; }
// The drive is at work and will answer later: where a flashing drive reports its progress.
constexpr bool IsBecomingReady(const SSense& sense) {
    return IsNotReady(sense) && sense.asc == kAscBecomingReady;
}

// Room for any sense the routes keep: a descriptor sense with an
// information descriptor needs 20 bytes, which an 18-byte copy would cut.
inline constexpr size_t kSenseCapacity = 32;

// Parses the sense bytes a command returned; reads nothing past them, nor
// past what the sense's own additional length (byte 7) says it holds. Bytes
// that are no sense data (a cleared area, a short or garbled reply) give
// !valid and zero codes. constexpr so the transport's status classification
// can use it too.
constexpr SSense ParseSense(std::span<const uint8_t> bytes) {
    SSense sense;
    if (bytes.empty()) return sense;
    size_t length = bytes.size();
    if (length > 7) length = std::min<size_t>(length, 8u + bytes[7]);
    const auto at = [&](size_t i) -> uint8_t { return i < length ? bytes[i] : uint8_t{0}; };
    switch (bytes[0] & 0x7F) {
        case 0x70:  // fixed format, current or deferred
        case 0x71:
            if (length < 3) return sense;
            sense.valid = true;
            sense.key = bytes[2] & 0x0F;
            sense.keyByte = bytes[2];
            sense.asc = at(12);
            sense.ascq = at(13);
            // Bytes 3-6, whether or not the drive set the VALID bit: the
            // flashing drives report their progress there without it.
            if (length >= 7) {
                sense.hasInformation = true;
                sense.information = Be32(bytes, 3);
            }
            return sense;
        case 0x72:  // descriptor format, current or deferred
        case 0x73:
            if (length < 2) return sense;
            sense.valid = true;
            sense.descriptor = true;
            sense.key = bytes[1] & 0x0F;
            sense.keyByte = sense.key;
            sense.asc = at(2);
            sense.ascq = at(3);
            // The descriptors follow the 8-byte header; the information
            // descriptor (type 00h, 12 bytes) carries the 8-byte field, whose
            // low four bytes are the fixed format's bytes 3-6. A descriptor
            // cut off by the end of the data is not read.
            for (size_t first = 8; first + 2 <= length;) {
                const size_t size = 2u + bytes[first + 1];
                if (first + size > length) break;
                if (bytes[first] == 0x00 && size >= 12) {
                    sense.hasInformation = true;
                    sense.information = Be32(bytes, first + 8);
                    break;
                }
                first += size;
            }
            return sense;
        default:
            return sense;
    }
}

}  // namespace jv
