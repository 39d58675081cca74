#pragma once
// The work of jorvane-merge, apart from its command line: finding the
// embedded buffer records in a built program's file and filling them.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "package/BufferRecords.h"

namespace jv::merge {

// Where a record's data area starts in the file, or an error text.
struct SRecordPlace {
    size_t dataOffset = 0;
    std::string error;
};

// The record is where its marker stands with D (marker length + 4) in the
// byte before it and the record's capacity (32-bit little-endian) in the four
// bytes after it, and its whole data area lies inside the file. Exactly one
// such place must exist.
SRecordPlace FindRecord(std::span<const uint8_t> file, const SBufferRecordInfo& record);

// Checks content for a buffer and turns it into the bytes the data area
// receives. Each returns an empty text on success.
std::string PreparePackage(std::span<const uint8_t> content, std::vector<uint8_t>& data);
std::string PrepareSettings(std::span<const uint8_t> content, std::vector<uint8_t>& data);
// A Philips-format file; the 4-byte big-endian length is put in front.
std::string PrepareCvt(std::span<const uint8_t> content, std::vector<uint8_t>& data);

// Writes data at the start of the record's data area and zeros over the
// rest of it. Refuses data larger than the capacity; empty data empties the
// buffer. Returns an empty text on success.
std::string FillRecord(std::vector<uint8_t>& file, const SBufferRecordInfo& record, std::span<const uint8_t> data);

// A buffer name of the command line: "1", "2", "3", "settings" or "cvt".
const SBufferRecordInfo* RecordByName(const std::string& name);
// The buffer's name as the messages show it.
std::string RecordLabel(const SBufferRecordInfo& record);

}  // namespace jv::merge
