#pragma once
// The work of jorvane-merge, apart from its command line: finding the
// embedded buffer records in a built program's file, checking what goes into
// them with the program's own loader, and filling them.
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

// Each checks content for a buffer and turns it into the bytes the data area
// receives; an empty text on success, else why the content was refused. The
// program trusts what its buffers hold, so these refuse what it would load
// wrongly.

// A package is loaded as the program loads a package buffer, from the data
// area it would see (the file, then zeros). Refused: a header that claims
// more or fewer bytes than the file holds, a check sum in the header that
// the decoded image does not have, a package larger than a package buffer.
// record is the package buffer the package is for.
std::string PreparePackage(std::span<const uint8_t> content, const SBufferRecordInfo& record,
                           std::vector<uint8_t>& data);

// The program splits the settings text at CR LF only: a line end that is a
// lone LF becomes CR LF, and convertedLineEnds counts them. A zero byte ends
// the text in the buffer.
std::string PrepareSettings(std::span<const uint8_t> content, std::vector<uint8_t>& data, size_t& convertedLineEnds);

// A Philips-format file; its length goes in front, 4 bytes big-endian, and
// the result is loaded as the program loads the CVT buffer. Refused: a file
// whose image the download would not send whole (it sends as many whole
// 16,384-byte blocks as the file's length holds).
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
