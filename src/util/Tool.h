#pragma once
// File helpers and the settings text lookups.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace jv {

using LineList = std::vector<std::string>;

// Settings text lookups (INI-style, on a line list).
void SplitLines(const uint8_t* bytes, size_t count, LineList& lines);
long GetIniInt(const LineList& lines, const std::string& section, const std::string& key, long defaultValue);
bool GetIniBool(const LineList& lines, const std::string& section, const std::string& key, bool defaultValue);
std::string GetIniString(const LineList& lines, const std::string& section, const std::string& key,
                         const std::string& defaultValue);
LineList GetIniSection(const LineList& lines, const std::string& section);
// A decimal integer as a formatted stream extraction reads it; nothing when
// the text does not begin with a number.
std::optional<int32_t> ParseInt(const std::string& text);

// Whole-file helpers. Files are binary; names are narrow strings.
// 0 when the name is missing, unreadable or not a regular file; a file beyond
// 4 GiB reports 0xFFFFFFFF so that every size check refuses it.
uint32_t GetFileLength(const std::string& name);
// False when the file cannot be opened or holds fewer than length bytes.
bool ReadFileBinary(const std::string& name, uint32_t length, uint8_t* destination);
// Writes the file through WriteOwnFile (OwnFile.h): a sibling temporary,
// written and read back through the descriptor that made it, then renamed
// over the target, so a failed write never destroys the file that was there,
// and a folder, a device or a read-only file in its place stays.
bool WriteFileBinary(const std::string& name, const uint8_t* data, uint32_t length);
// For a file that must be new (a backup): the same, then a move that refuses
// a target that is there (MoveFileNew), so a file that appeared under the
// name during a long job is never replaced. The temporary is gone whatever
// the result.
SNewFile WriteNewFileBinary(const std::string& name, const uint8_t* data, uint32_t length);
// The line telling why a file that must be new was not made: that the name
// exists, that it did not read back as written, or the system's reason.
std::string NewFileRefusal(const std::string& name, const SNewFile& result);
bool WriteTextLines(const std::string& name, const LineList& lines);

}  // namespace jv
