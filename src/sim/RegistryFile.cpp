#include "sim/RegistryFile.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "util/Tool.h"

namespace jv::sim {

namespace {

constexpr const char* kHeader = "REGEDIT4";
constexpr const char* kHive = "HKEY_LOCAL_MACHINE";
// The real registry's own limits: deeper or longer names cannot be keys, and
// holding to them keeps a hostile file from nesting the tree without end.
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxKeyName = 255;

bool SameText(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// "[HKEY_LOCAL_MACHINE\a\b]" to "a\b"; empty with a problem otherwise.
std::string KeyPath(const std::string& line, std::string& problem) {
    if (line.size() < 2 || line.back() != ']') {
        problem = "a key line must end with ']'";
        return {};
    }
    const std::string inner = line.substr(1, line.size() - 2);
    const size_t slash = inner.find('\\');
    if (!SameText(inner.substr(0, slash), kHive)) {
        problem = "only keys under HKEY_LOCAL_MACHINE can be kept";
        return {};
    }
    const std::string path = slash == std::string::npos ? std::string() : inner.substr(slash + 1);
    if (path.empty()) {
        problem = "the key has no name below HKEY_LOCAL_MACHINE";
        return {};
    }
    size_t depth = 0, start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const size_t length = end - start;
        if (length == 0 || length > kMaxKeyName) {
            problem = "a key name is empty or longer than 255 characters";
            return {};
        }
        for (size_t i = start; i < end; ++i) {
            if (static_cast<unsigned char>(path[i]) < 0x20) {
                problem = "a key name holds a control character";
                return {};
            }
        }
        if (++depth > kMaxKeyDepth) {
            problem = "keys nest deeper than 512 levels";
            return {};
        }
        start = end + 1;
    }
    return path;
}

// A quoted text from at; at moves past the closing quote.
bool Quoted(const std::string& line, size_t& at, std::string& text, std::string& problem) {
    if (at >= line.size() || line[at] != '"') {
        problem = "expected '\"'";
        return false;
    }
    text.clear();
    for (++at; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\') {
            if (at + 1 >= line.size() || (line[at + 1] != '\\' && line[at + 1] != '"')) {
                problem = "a '\\' in quotes must be written \\\\";
                return false;
            }
            text += line[++at];
            continue;
        }
        text += c;
    }
    problem = "a quoted text is not closed";
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "01,02, ab" (one or two digits each) appended to bytes. A trailing ',' is
// allowed only when more follows on the next line.
bool HexBytes(const std::string& text, bool continued, std::vector<uint8_t>& bytes, std::string& problem) {
    const std::string list = Trim(text);
    if (list.empty()) {
        if (continued) return true;
        if (!bytes.empty()) {
            problem = "the hex bytes end with ','";
            return false;
        }
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t end = list.find(',', start);
        const std::string item = Trim(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (item.empty()) {
            // "01," at the end of a continued line is how the editor wraps.
            if (end == std::string::npos && continued && start > 0) return true;
            problem = "an empty hex byte";
            return false;
        }
        if (item.size() > 2 || HexDigit(item[0]) < 0 || (item.size() == 2 && HexDigit(item[1]) < 0)) {
            problem = item.substr(0, 8);
            problem.insert(problem.begin(), '\'');
            problem += "' is not a hex byte";
            return false;
        }
        const int value = item.size() == 2 ? HexDigit(item[0]) * 16 + HexDigit(item[1]) : HexDigit(item[0]);
        bytes.push_back(static_cast<uint8_t>(value));
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool Fail(size_t line, const std::string& problem, MemoryRegistry& registry, std::string& error) {
    error = "line " + std::to_string(line) + ": " + problem;
    registry = MemoryRegistry{};
    return false;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// A string value can be written back as one only when it is one line of
// text that ends in its NUL; anything else keeps its bytes as hex.
bool WritableAsString(const MemoryRegistry::SValueEntry& value) {
    if (value.kind != MemoryRegistry::EValueKind::String || value.data.empty() || value.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < value.data.size(); ++i)
        if (value.data[i] == 0 || value.data[i] == '\r' || value.data[i] == '\n') return false;
    return true;
}

}  // namespace

bool ParseRegistryText(const std::string& text, MemoryRegistry& registry, std::string& error) {
    registry = MemoryRegistry{};
    std::vector<std::string> lines = Lines(text);
    // An editor may put a byte order mark in front.
    if (!lines.empty() && lines[0].starts_with("\xEF\xBB\xBF")) lines[0].erase(0, 3);

    bool header = false;
    std::string key;
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t number = i + 1;
        const std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        if (!header) {
            if (line != kHeader) return Fail(number, "the file must begin with REGEDIT4", registry, error);
            header = true;
            continue;
        }
        std::string problem;
        if (line[0] == '[') {
            key = KeyPath(line, problem);
            if (key.empty()) return Fail(number, problem, registry, error);
            registry.CreateKey(key);
            continue;
        }
        if (line[0] != '"') return Fail(number, "expected a key line or a \"name\"=value line", registry, error);
        if (key.empty()) return Fail(number, "a value before the first key line", registry, error);
        size_t at = 0;
        std::string name;
        if (!Quoted(line, at, name, problem)) return Fail(number, problem, registry, error);
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at >= line.size() || line[at] != '=') return Fail(number, "expected '=' after the name", registry, error);
        const std::string value = Trim(line.substr(at + 1));
        if (!value.empty() && value[0] == '"') {
            size_t from = 0;
            std::string content;
            if (!Quoted(value, from, content, problem)) return Fail(number, problem, registry, error);
            if (!Trim(value.substr(from)).empty())
                return Fail(number, "something follows the closing '\"'", registry, error);
            registry.SetString(key, name, content);
            continue;
        }
        if (value.size() < 4 || !SameText(value.substr(0, 4), "hex:"))
            return Fail(number, "only \"text\" and hex: values are understood", registry, error);
        std::vector<uint8_t> bytes;
        std::string part = value.substr(4);
        for (;;) {
            const std::string trimmed = Trim(part);
            const bool continued = !trimmed.empty() && trimmed.back() == '\\';
            const std::string list = continued ? trimmed.substr(0, trimmed.size() - 1) : trimmed;
            if (!HexBytes(list, continued, bytes, problem)) return Fail(i + 1, problem, registry, error);
            if (!continued) break;
            if (++i >= lines.size()) return Fail(i, "the hex bytes go on past the end of the file", registry, error);
            part = lines[i];
        }
        if (bytes.size() > std::numeric_limits<uint32_t>::max())
            return Fail(number, "the value is too long", registry, error);
        registry.SetValue(key, name, std::move(bytes));
    }
    // A file with nothing in it yet is an empty registry, as a missing one is.
    return true;
}

std::string RegistryText(const MemoryRegistry& registry) {
    std::string text = std::string(kHeader) + "\r\n";
    for (const MemoryRegistry::SKeyEntry& key : registry.Keys()) {
        // A key between others is written by its subkeys' lines.
        if (key.values.empty() && key.hasSubkeys) continue;
        // Appended piece by piece: g++ 12 at -O3 sees overlapping copies in
        // a chain of string additions that has none.
        text.append("\r\n[").append(kHive).append("\\").append(key.path).append("]\r\n");
        for (const MemoryRegistry::SValueEntry& value : key.values) {
            text.append("\"").append(Escaped(value.name)).append("\"=");
            if (WritableAsString(value)) {
                text.append("\"").append(Escaped(std::string(value.data.begin(), value.data.end() - 1))).append("\"\r\n");
                continue;
            }
            text += "hex:";
            static constexpr char kDigits[] = "0123456789abcdef";
            // Wrapped the editor's way, so long values stay readable.
            size_t column = text.size() - text.rfind('\n');
            for (size_t i = 0; i < value.data.size(); ++i) {
                if (i > 0) {
                    text += ',';
                    if (column > 76) {
                        text += "\\\r\n  ";
                        column = 2;
                    }
                }
                text += kDigits[value.data[i] >> 4];
                text += kDigits[value.data[i] & 0x0F];
                column += 3;
            }
            text += "\r\n";
        }
    }
    text += "\r\n";
    return text;
}

bool LoadRegistryFile(const std::string& path, MemoryRegistry& registry, std::string& error) {
    registry = MemoryRegistry{};
    std::error_code code;
    if (!std::filesystem::exists(path, code) && !code) return true;
    std::ifstream file(path, std::ios::binary);
    if (!file || std::filesystem::is_directory(path, code)) {
        error = "cannot read registry file '" + path + "'";
        return false;
    }
    std::string text;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(file.gcount()));
        if (text.size() > kMaxRegistryFileBytes) {
            error = "registry file '" + path + "' is larger than 1 MiB";
            return false;
        }
    }
    if (file.bad()) {
        error = "cannot read registry file '" + path + "'";
        return false;
    }
    std::string problem;
    if (!ParseRegistryText(text, registry, problem)) {
        error = path + ": " + problem;
        return false;
    }
    return true;
}

bool SaveRegistryFile(const std::string& path, const MemoryRegistry& registry) {
    const std::string text = RegistryText(registry);
    if (text.size() > std::numeric_limits<uint32_t>::max()) return false;
    return WriteFileBinary(path, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

std::string BesideRig(const std::string& rigPath, const std::string& file) {
    const std::filesystem::path folder = std::filesystem::path(rigPath).parent_path();
    if (file.empty() || !std::filesystem::path(file).is_relative() || folder.empty()) return file;
    return (folder / file).generic_string();
}

}  // namespace jv::sim
