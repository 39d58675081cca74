#include "package/BufferRecords.h"

#include <array>
#include <cstddef>

// The records are plain byte structs in writable data with C names, so that
// they sit in the executable file exactly as initialised here: a merge tool
// finds each one there by its marker and overwrites the zero data area. The
// offset byte is read back through a volatile access, because the compiler
// would otherwise take the bytes for the constants they are at build time.

#define JV_RECORD_STORAGE __attribute__((used))

namespace {

// Marker text without its terminating zero.
template <size_t N>
constexpr std::array<char, N> Text(const char (&text)[N + 1]) {
    std::array<char, N> chars{};
    for (size_t i = 0; i < N; ++i) chars[i] = text[i];
    return chars;
}

constexpr std::array<uint8_t, 4> LittleEndian(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

}  // namespace

extern "C" {

struct JvPackageBufferRecords {
    uint8_t offset1;
    std::array<char, 16> marker1;
    std::array<uint8_t, 4> capacity1;
    uint8_t data1[jv::kPackageBufferCapacity];
    uint8_t offset2;
    std::array<char, 17> marker2;
    std::array<uint8_t, 4> capacity2;
    uint8_t data2[jv::kPackageBufferCapacity];
    uint8_t offset3;
    std::array<char, 17> marker3;
    std::array<uint8_t, 4> capacity3;
    uint8_t data3[jv::kPackageBufferCapacity];
    std::array<char, 16 + 17 + 17> endMarkers;
    uint8_t endZero;
};

struct JvParameterBufferRecord {
    uint8_t offset;
    std::array<char, 16> marker;
    std::array<uint8_t, 4> capacity;
    uint8_t data[jv::kParameterBufferCapacity];
    std::array<char, 16> endMarker;
};

struct JvCvtBufferRecord {
    uint8_t offset;
    std::array<char, 15> marker;
    std::array<uint8_t, 4> capacity;
    uint8_t data[jv::kCvtBufferCapacity];
    std::array<char, 15> endMarker;
};

JV_RECORD_STORAGE JvPackageBufferRecords jv_package_buffer_records = {
    20, Text<16>("YTR3 FILE BUFFER"), LittleEndian(jv::kPackageBufferCapacity), {},
    21, Text<17>("YTR3 FILE BUFFER2"), LittleEndian(jv::kPackageBufferCapacity), {},
    21, Text<17>("YTR3 FILE BUFFER3"), LittleEndian(jv::kPackageBufferCapacity), {},
    Text<50>("YTR3 FILE BUFFERYTR3 FILE BUFFER2YTR3 FILE BUFFER3"),
    0,
};

JV_RECORD_STORAGE JvParameterBufferRecord jv_parameter_buffer_record = {
    20, Text<16>("PARAMETER BUFFER"), LittleEndian(jv::kParameterBufferCapacity), {}, Text<16>("PARAMETER BUFFER"),
};

JV_RECORD_STORAGE JvCvtBufferRecord jv_cvt_buffer_record = {
    19, Text<15>("CVT FILE BUFFER"), LittleEndian(jv::kCvtBufferCapacity), {}, Text<15>("CVT FILE BUFFER"),
};

}  // extern "C"

namespace jv {

namespace {

static_assert(alignof(JvPackageBufferRecords) == 1 && alignof(JvParameterBufferRecord) == 1 &&
              alignof(JvCvtBufferRecord) == 1);
static_assert(offsetof(JvPackageBufferRecords, offset2) == 1 + 20 + kPackageBufferCapacity);
static_assert(offsetof(JvPackageBufferRecords, offset3) == offsetof(JvPackageBufferRecords, offset2) + 1 + 21 +
                                                               kPackageBufferCapacity);
static_assert(offsetof(JvPackageBufferRecords, endMarkers) ==
              offsetof(JvPackageBufferRecords, data3) + kPackageBufferCapacity);
static_assert(sizeof(JvPackageBufferRecords) == offsetof(JvPackageBufferRecords, endZero) + 1);
static_assert(sizeof(JvParameterBufferRecord) == 1 + 20 + kParameterBufferCapacity + 16);
static_assert(sizeof(JvCvtBufferRecord) == 1 + 19 + kCvtBufferCapacity + 15);

struct SRecordPlace {
    uint8_t* object;      // first byte of the struct holding the record
    size_t objectSize;
    size_t offsetByte;    // position of D within the struct
};

SRecordPlace PlaceOf(BufferId id) {
    auto* packages = reinterpret_cast<uint8_t*>(&jv_package_buffer_records);
    switch (id) {
        case BufferId::Package1:
            return {packages, sizeof jv_package_buffer_records, offsetof(JvPackageBufferRecords, offset1)};
        case BufferId::Package2:
            return {packages, sizeof jv_package_buffer_records, offsetof(JvPackageBufferRecords, offset2)};
        case BufferId::Package3:
            return {packages, sizeof jv_package_buffer_records, offsetof(JvPackageBufferRecords, offset3)};
        case BufferId::Parameter:
            return {reinterpret_cast<uint8_t*>(&jv_parameter_buffer_record), sizeof jv_parameter_buffer_record, 0};
        case BufferId::Cvt:
            break;
    }
    return {reinterpret_cast<uint8_t*>(&jv_cvt_buffer_record), sizeof jv_cvt_buffer_record, 0};
}

}  // namespace

std::span<uint8_t> EmbeddedBuffer(BufferId id) {
    const SBufferRecordInfo& info = BufferRecordInfo(id);
    SRecordPlace place = PlaceOf(id);
    const size_t d = *static_cast<volatile const uint8_t*>(place.object + place.offsetByte);
    const size_t firstMarkerChar = place.offsetByte + 1;
    // An executable whose offset byte was overwritten has no usable record:
    // never let it point the data area somewhere else.
    if (d != info.marker.size() + 4 || firstMarkerChar + d + info.capacity > place.objectSize) return {};
    return {place.object + firstMarkerChar + d, info.capacity};
}

}  // namespace jv
