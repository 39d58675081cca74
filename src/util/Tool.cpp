#include "util/Tool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/Files.h"
#include "platform/OwnFile.h"

namespace jv {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct SNumberScan {
    bool found = false;  // at least one digit after the blanks and the sign
    int32_t value = 0;   // saturated at the 32-bit limits, as on the platform this runs on originally
};

// Blanks, an optional sign, then digits up to the first non-digit.
SNumberScan ScanDecimal(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulate the magnitude with a cap so that a long run of digits cannot overflow.
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    SNumberScan scan;
    while (pos < text.size() && IsDigit(text[pos])) {
        scan.found = true;
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > kCap) magnitude = kCap;
        ++pos;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
    scan.value = static_cast<int32_t>(value);
    return scan;
}

// The value text of the key's line: the first line after the section header
// that begins with the key, searched to the end of the text (not only to the
// next header). A later repetition of the header can only lead to lines this
// search has already seen, so the first header decides.
std::optional<std::string_view> FindValue(const LineList& lines, const std::string& section,
                                          const std::string& key) {
    const std::string header = "[" + section + "]";
    size_t line = 0;
    while (line < lines.size() && !lines[line].starts_with(header)) ++line;
    for (++line; line < lines.size(); ++line) {
        std::string_view text = lines[line];
        if (!text.starts_with(key)) continue;
        // The character after the key is skipped, whatever it is.
        if (text.size() <= key.size() + 1) return std::string_view{};
        return text.substr(key.size() + 1);
    }
    return std::nullopt;
}

}  // namespace

void SplitLines(const uint8_t* bytes, size_t count, LineList& lines) {
    lines.clear();
    auto append = [&](size_t start, size_t end) {
        // A zero byte ends the line's text.
        const auto* first = reinterpret_cast<const char*>(bytes + start);
        const void* zero = std::memchr(first, 0, end - start);
        size_t length = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - first) : end - start;
        lines.emplace_back(first, length);
    };
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == 13 && i + 1 < count && bytes[i + 1] == 10) {
            append(start, i);
            start = i + 2;
            ++i;
        }
    }
    if (start < count) append(start, count);
}

long GetIniInt(const LineList& lines, const std::string& section, const std::string& key, long defaultValue) {
    auto value = FindValue(lines, section, key);
    if (!value) return defaultValue;
    return ScanDecimal(*value).value;
}

bool GetIniBool(const LineList& lines, const std::string& section, const std::string& key, bool defaultValue) {
    auto value = FindValue(lines, section, key);
    if (!value) return defaultValue;
    return ScanDecimal(*value).value != 0;
}

std::string GetIniString(const LineList& lines, const std::string& section, const std::string& key,
                         const std::string& defaultValue) {
    auto value = FindValue(lines, section, key);
    if (!value) return defaultValue;
    return std::string(*value);
}

LineList GetIniSection(const LineList& lines, const std::string& section) {
    const std::string header = "[" + section + "]";
    LineList result;
    size_t line = 0;
    while (line < lines.size() && !lines[line].starts_with(header)) ++line;
    for (++line; line < lines.size() && !lines[line].starts_with('['); ++line) result.push_back(lines[line]);
    return result;
}

std::optional<int32_t> ParseInt(const std::string& text) {
    SNumberScan scan = ScanDecimal(text);
    if (!scan.found) return std::nullopt;
    return scan.value;
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

FileHandle OpenFile(const std::string& name, const char* mode) { return FileHandle(std::fopen(name.c_str(), mode)); }

}  // namespace

uint32_t GetFileLength(const std::string& name) {
    // A directory opens for reading on some hosts; it has no length here.
    std::optional<uint64_t> size = RegularFileSize(name);
    if (!size) return 0;
    if (!OpenFile(name, "rb")) return 0;
    // Larger than any buffer of the program: report the largest length, so
    // every size check refuses the file instead of reading part of it.
    if (*size > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(*size);
}

bool ReadFileBinary(const std::string& name, uint32_t length, uint8_t* destination) {
    FileHandle file = OpenFile(name, "rb");
    if (!file) return false;
    if (length == 0) return true;
    // A file that shrank since its length was taken must not pass as whole.
    return std::fread(destination, 1, length, file.get()) == length;
}

bool WriteFileBinary(const std::string& name, const uint8_t* data, uint32_t length) {
    return WriteOwnFile(name, {data, length}, {EPlaceFile::Replace, std::nullopt}).result == ENewFile::Ok;
}

SNewFile WriteNewFileBinary(const std::string& name, const uint8_t* data, uint32_t length) {
    return WriteOwnFile(name, {data, length}, {EPlaceFile::New, std::nullopt});
}

std::string NewFileRefusal(const std::string& name, const SNewFile& result) {
    if (result.result == ENewFile::Exists) return name + " exists already; name a new file.\n";
    if (result.result == ENewFile::ReadsBackWrong) return name + " does not read back as written; it was removed.\n";
    return "Cannot write " + name + ": " + result.reason + ".\n";
}

bool WriteTextLines(const std::string& name, const LineList& lines) {
    std::string text;
    size_t total = 0;
    for (const auto& line : lines) total += line.size() + 2;
    text.reserve(total);
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    if (text.size() > std::numeric_limits<uint32_t>::max()) return false;
    return WriteFileBinary(name, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

}  // namespace jv
