#pragma once
// The five embedded buffer records carried in the program's own writable
// data. A merge tool finds each record in the executable file by its marker
// and writes the data behind it; at run time the data is found through the
// record's offset byte, never by searching for markers.
//
// Only the updaters (jorvane, jorvane-sim, jorvane.exe) carry the records,
// some 8 MiB of them. The read-back programs never read a merged package or
// settings text, so they link NoBufferRecords.cpp, whose EmbeddedBuffer
// gives every buffer empty; the linker then never takes BufferRecords.cpp
// out of the core library. Nothing else may live in either file, or a
// program would get both (a link error) or the records after all.
#include <cstdint>
#include <span>
#include <string_view>

namespace jv {

enum class BufferId { Package1, Package2, Package3, Parameter, Cvt };

struct SBufferRecordInfo {
    BufferId id;
    std::string_view marker;  // without a terminating zero
    uint32_t capacity;
};

inline constexpr uint32_t kPackageBufferCapacity = 0x210000;
inline constexpr uint32_t kParameterBufferCapacity = 0x100000;
inline constexpr uint32_t kCvtBufferCapacity = 0x110000;

inline constexpr SBufferRecordInfo kBufferRecords[] = {
    {BufferId::Package1, "YTR3 FILE BUFFER", kPackageBufferCapacity},
    {BufferId::Package2, "YTR3 FILE BUFFER2", kPackageBufferCapacity},
    {BufferId::Package3, "YTR3 FILE BUFFER3", kPackageBufferCapacity},
    {BufferId::Parameter, "PARAMETER BUFFER", kParameterBufferCapacity},
    {BufferId::Cvt, "CVT FILE BUFFER", kCvtBufferCapacity},
};

constexpr const SBufferRecordInfo& BufferRecordInfo(BufferId id) {
    for (const auto& info : kBufferRecords)
        if (info.id == id) return info;
    return kBufferRecords[0];
}

// The data area of a record (located through its offset byte) with the
// record's capacity as the span's size; empty when the record's offset byte
// has been damaged in the executable file, and in a program without records.
std::span<uint8_t> EmbeddedBuffer(BufferId id);

// Package buffer n (1..3); other numbers are not valid here and give an
// empty span.
inline std::span<uint8_t> PackageBuffer(int n) {
    switch (n) {
        case 1:
            return EmbeddedBuffer(BufferId::Package1);
        case 2:
            return EmbeddedBuffer(BufferId::Package2);
        case 3:
            return EmbeddedBuffer(BufferId::Package3);
        default:
            return {};
    }
}

}  // namespace jv
