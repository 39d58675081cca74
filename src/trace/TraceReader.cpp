#include "trace/TraceReader.h"

#include <zlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/DriveRoute.h"

namespace jv::trace {

namespace {

using nlohmann::json;

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxSenseBytes = 252;
constexpr size_t kMaxTextField = 1024;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The members a record may read, each checked for its type and range.
class Fields {
public:
    explicit Fields(const json& object) : object_(object) {}

    bool Has(const char* key) const { return object_.contains(key); }

    bool Unsigned(const char* key, uint64_t high, uint64_t& value, std::string& why) const {
        const auto it = object_.find(key);
        if (it == object_.end()) return Missing(key, why);
        if (!it->is_number_unsigned() || it->get<uint64_t>() > high) {
            why = Quoted(key) + " is not a whole number from 0 to " + std::to_string(high);
            return false;
        }
        value = it->get<uint64_t>();
        return true;
    }

    bool Text(const char* key, std::string& value, std::string& why) const {
        const auto it = object_.find(key);
        if (it == object_.end()) return Missing(key, why);
        if (!it->is_string() || it->get_ref<const std::string&>().size() > kMaxTextField) {
            why = Quoted(key) + " is not a text of at most " + std::to_string(kMaxTextField) + " characters";
            return false;
        }
        value = it->get<std::string>();
        return true;
    }

    bool Bytes(const char* key, size_t limit, std::vector<uint8_t>& value, std::string& why) const {
        const auto it = object_.find(key);
        if (it == object_.end()) return Missing(key, why);
        if (!it->is_string() || !ParseHexBytes(it->get_ref<const std::string&>(), limit, value)) {
            why = Quoted(key) + " is not hex digits of at most " + std::to_string(limit) + " bytes";
            return false;
        }
        return true;
    }

    // A hex number, such as a port, up to high.
    bool HexNumber(const char* key, uint32_t high, uint32_t& value, std::string& why) const {
        const auto it = object_.find(key);
        if (it == object_.end()) return Missing(key, why);
        const bool text = it->is_string();
        const std::string digits = text ? it->get<std::string>() : std::string();
        uint64_t v = 0;
        bool good = text && !digits.empty() && digits.size() <= 8;
        for (char c : digits) {
            const int d = HexValue(c);
            if (d < 0) good = false;
            v = v * 16 + static_cast<uint64_t>(d < 0 ? 0 : d);
        }
        if (!good || v > high) {
            why = Quoted(key) + " is not a hex number up to " + HexText(high);
            return false;
        }
        value = static_cast<uint32_t>(v);
        return true;
    }

private:
    static std::string Quoted(const char* key) { return std::string("\"") + key + "\""; }
    static std::string HexText(uint32_t value) {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string text;
        do {
            text.insert(text.begin(), kDigits[value & 15]);
            value >>= 4;
        } while (value != 0);
        return text;
    }
    static bool Missing(const char* key, std::string& why) {
        why = Quoted(key) + " is missing";
        return false;
    }

    const json& object_;
};

bool ParseCommand(const Fields& f, SCommandRecord& c, std::string& why) {
    std::vector<uint8_t> cdb;
    if (!f.Text("drive", c.drive, why) || !f.Bytes("cdb", 12, cdb, why)) return false;
    if (cdb.size() != 12) {
        why = "\"cdb\" is not the 12 bytes of a command block";
        return false;
    }
    std::copy(cdb.begin(), cdb.end(), c.cdb.begin());
    std::string direction;
    if (!f.Text("dir", direction, why)) return false;
    if (direction == "in") c.direction = kDirIn;
    else if (direction == "out") c.direction = kDirOut;
    else if (direction == "none") c.direction = kDirNone;
    else {
        why = "\"dir\" is not in, out or none";
        return false;
    }
    uint64_t number = 0;
    if (!f.Unsigned("len", 0xFFFF, number, why)) return false;
    c.length = static_cast<uint32_t>(number);
    if (c.direction == kDirOut) {
        if (!f.Bytes("out", c.length, c.out, why)) return false;
        if (c.out.size() != c.length) {
            why = "\"out\" does not hold the len bytes sent";
            return false;
        }
    } else if (f.Has("out")) {
        why = "\"out\" in a command that sends no data";
        return false;
    }
    const int answers = int{f.Has("status")} + int{f.Has("timeout")} + int{f.Has("error")};
    if (answers != 1) {
        why = "not exactly one of \"status\", \"timeout\" and \"error\"";
        return false;
    }
    if (f.Has("status")) {
        if (!f.Unsigned("status", 0xFF, number, why)) return false;
        c.status = static_cast<uint8_t>(number);
    } else if (f.Has("timeout")) {
        if (!f.Unsigned("timeout", 86400, number, why)) return false;
        if (number == 0) {
            why = "\"timeout\" is 0";
            return false;
        }
        c.timeoutSeconds = static_cast<uint32_t>(number);
    } else if (!f.Text("error", c.error, why)) {
        return false;
    }
    if (f.Has("sense") && !f.Bytes("sense", kMaxSenseBytes, c.sense, why)) return false;
    if (c.direction == kDirIn) {
        if (!f.Bytes("in", c.length, c.in, why)) return false;
    } else if (f.Has("in")) {
        why = "\"in\" in a command that receives no data";
        return false;
    }
    if (c.direction != kDirNone) {
        if (!f.Unsigned("resid", c.length, number, why)) return false;
        c.resid = static_cast<uint32_t>(number);
        if (c.direction == kDirIn && c.in.size() != c.length - c.resid) {
            why = "\"in\" does not hold len minus resid bytes";
            return false;
        }
    } else if (f.Has("resid") && (!f.Unsigned("resid", 0, number, why))) {
        return false;
    }
    if (!f.Unsigned("dur", UINT64_MAX, number, why)) return false;
    c.durationUs = number;
    return true;
}

bool ParsePort(const Fields& f, SPortRecord& p, std::string& why) {
    uint32_t value = 0;
    if (!f.HexNumber("port", 0xFFFF, value, why)) return false;
    p.port = static_cast<uint16_t>(value);
    const int kinds = int{f.Has("read")} + int{f.Has("write")} + int{f.Has("read16")};
    if (kinds != 1) {
        why = "not exactly one of \"read\", \"write\" and \"read16\"";
        return false;
    }
    p.write = f.Has("write");
    p.wide = f.Has("read16");
    if (!f.HexNumber(p.write ? "write" : p.wide ? "read16" : "read", p.wide ? 0xFFFF : 0xFF, value, why)) return false;
    p.value = static_cast<uint16_t>(value);
    p.count = 1;
    if (f.Has("count")) {
        uint64_t count = 0;
        if (!f.Unsigned("count", UINT32_MAX, count, why)) return false;
        if (count == 0) {
            why = "\"count\" is 0";
            return false;
        }
        p.count = static_cast<uint32_t>(count);
    }
    return true;
}

bool ParseClaim(const Fields& f, SClaimRecord& claim, std::string& why) {
    uint32_t first = 0;
    uint64_t count = 0;
    if (!f.HexNumber("claim", 0xFFFF, first, why) || !f.Unsigned("ports", 0xFFFF, count, why)) return false;
    claim.first = static_cast<uint16_t>(first);
    claim.count = static_cast<uint16_t>(count);
    claim.refused.clear();
    return !f.Has("refused") || f.Text("refused", claim.refused, why);
}

bool ParseHeaderLine(const std::string& line, STraceHeader& header, std::string& why) {
    const json object = json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object() || !object.contains("trace")) {
        why = "it is not a trace: its first line is no trace header";
        return false;
    }
    const Fields f(object);
    uint64_t format = 0;
    if (!f.Unsigned("trace", 1000000, format, why)) {
        why = "its header has no format version";
        return false;
    }
    if (format != kTraceVersion) {
        why = "it is a trace of format " + std::to_string(format) + "; this program reads format " +
              std::to_string(kTraceVersion);
        return false;
    }
    header.format = static_cast<int>(format);
    std::string detail;
    if (!f.Text("program", header.program, detail) || !f.Text("version", header.version, detail) ||
        !f.Text("os", header.os, detail) || !f.Text("route", header.route, detail) ||
        !f.Text("started", header.started, detail)) {
        why = "its header: " + detail;
        return false;
    }
    return true;
}

}  // namespace

bool ParseHexBytes(const std::string& text, size_t limit, std::vector<uint8_t>& bytes) {
    if (text.size() % 2 != 0 || text.size() / 2 > limit) return false;
    bytes.resize(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

bool ParseRecord(const std::string& line, STraceRecord& record, std::string& why) {
    const json object = json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        why = "not a JSON object";
        return false;
    }
    const Fields f(object);
    if (!f.Unsigned("seq", UINT64_MAX, record.seq, why) || !f.Unsigned("us", UINT64_MAX, record.us, why)) return false;
    if (f.Has("cdb")) {
        record.kind = ERecordKind::Command;
        record.command = SCommandRecord{};
        return ParseCommand(f, record.command, why);
    }
    if (f.Has("port")) {
        record.kind = ERecordKind::Port;
        return ParsePort(f, record.port, why);
    }
    if (f.Has("claim")) {
        record.kind = ERecordKind::Claim;
        return ParseClaim(f, record.claim, why);
    }
    if (f.Has("end")) {
        record.kind = ERecordKind::End;
        return true;
    }
    why = "neither a drive command, a register access, a port claim nor the end";
    return false;
}

struct TraceReader::SInflate {
    z_stream stream{};
    bool initialized = false;  // inflateEnd owes zlib its memory back
    bool ready = false;        // inside a gzip member, not past its end
    ~SInflate() {
        if (initialized) inflateEnd(&stream);
    }
};

TraceReader::TraceReader() = default;
TraceReader::~TraceReader() = default;

bool TraceReader::Fail(const std::string& why) {
    failed_ = true;
    error_ = why;
    return false;
}

bool TraceReader::Open(const std::string& path) {
    file_.open(path, std::ios::binary);
    if (!file_) return Fail("cannot be read");
    return Start();
}

bool TraceReader::OpenBytes(std::vector<uint8_t> bytes) {
    fromMemory_ = true;
    memory_ = std::move(bytes);
    return Start();
}

bool TraceReader::Start() {
    raw_.resize(kReadChunk);
    // The first bytes say whether it is compressed, whatever its name.
    size_t got = 0;
    if (fromMemory_) {
        got = std::min(memory_.size(), raw_.size());
        std::copy_n(memory_.begin(), got, raw_.begin());
        memoryAt_ = got;
    } else {
        file_.read(reinterpret_cast<char*>(raw_.data()), static_cast<std::streamsize>(raw_.size()));
        got = static_cast<size_t>(file_.gcount());
        if (file_.bad()) return Fail("cannot be read");
    }
    raw_.resize(got);
    if (got == 0) return Fail("it is empty: no trace header");
    gzip_ = got >= 2 && raw_[0] == 0x1F && raw_[1] == 0x8B;
    if (gzip_) {
        inflate_ = std::make_unique<SInflate>();
        if (inflateInit2(&inflate_->stream, 15 + 16) != Z_OK) return Fail("no memory to decompress it");
        inflate_->initialized = true;
        inflate_->ready = true;
    }
    std::string line;
    bool complete = false;
    if (!ReadLine(line, complete)) {
        if (failed_) return false;
        return Fail("it is empty: no trace header");
    }
    std::string why;
    if (!ParseHeaderLine(line, header_, why)) return Fail(why);
    return true;
}

bool TraceReader::Fill() {
    if (sourceDone_ && rawAt_ >= raw_.size()) return false;
    for (;;) {
        if (rawAt_ >= raw_.size() && !sourceDone_) {
            raw_.resize(kReadChunk);
            size_t got = 0;
            if (fromMemory_) {
                got = std::min(memory_.size() - memoryAt_, raw_.size());
                std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(memoryAt_), got, raw_.begin());
                memoryAt_ += got;
            } else {
                file_.read(reinterpret_cast<char*>(raw_.data()), static_cast<std::streamsize>(raw_.size()));
                got = static_cast<size_t>(file_.gcount());
                if (file_.bad()) return Fail("a read of the file failed");
            }
            raw_.resize(got);
            rawAt_ = 0;
            if (got == 0) sourceDone_ = true;
        }
        if (rawAt_ >= raw_.size()) {
            // A gzip stream that stops before its end: a file cut short.
            if (gzip_ && inflate_->ready) cutShort_ = true;
            return false;
        }
        if (!gzip_) {
            text_.append(reinterpret_cast<const char*>(raw_.data() + rawAt_), raw_.size() - rawAt_);
            rawAt_ = raw_.size();
            return true;
        }
        if (!inflate_->ready) {
            // Another gzip member may follow one that ended; nothing else may.
            if (raw_.size() - rawAt_ < 2 || raw_[rawAt_] != 0x1F || raw_[rawAt_ + 1] != 0x8B) {
                return Fail("bytes that are no gzip data follow the compressed stream");
            }
            if (inflateReset(&inflate_->stream) != Z_OK) return Fail("no memory to decompress it");
            inflate_->ready = true;
        }
        z_stream& z = inflate_->stream;
        const size_t before = text_.size();
        text_.resize(before + 4 * kReadChunk);
        z.next_in = raw_.data() + rawAt_;
        z.avail_in = static_cast<uInt>(raw_.size() - rawAt_);
        z.next_out = reinterpret_cast<Bytef*>(text_.data() + before);
        z.avail_out = static_cast<uInt>(4 * kReadChunk);
        const int result = inflate(&z, Z_NO_FLUSH);
        rawAt_ = raw_.size() - z.avail_in;
        text_.resize(before + 4 * kReadChunk - z.avail_out);
        if (result == Z_STREAM_END) {
            inflate_->ready = false;
        } else if (result != Z_OK && result != Z_BUF_ERROR) {
            return Fail(result == Z_MEM_ERROR ? "no memory to decompress it"
                                              : "its compressed data is damaged after line " + std::to_string(line_));
        }
        if (text_.size() > before) return true;
        if (result == Z_BUF_ERROR && z.avail_in != 0) {
            return Fail("its compressed data is damaged after line " + std::to_string(line_));
        }
    }
}

bool TraceReader::ReadLine(std::string& line, bool& complete) {
    if (failed_ || ended_) return false;
    for (;;) {
        const size_t end = text_.find('\n', textAt_);
        if (end != std::string::npos) {
            if (end - textAt_ > kMaxLineLength) {
                return Fail("line " + std::to_string(line_ + 1) + " is longer than any trace record");
            }
            line.assign(text_, textAt_, end - textAt_);
            textAt_ = end + 1;
            ++line_;
            complete = true;
            return true;
        }
        if (text_.size() - textAt_ > kMaxLineLength) {
            return Fail("line " + std::to_string(line_ + 1) + " is longer than any trace record");
        }
        // Keep only what is not taken yet before reading on.
        text_.erase(0, textAt_);
        textAt_ = 0;
        if (!Fill()) {
            if (failed_) return false;
            ended_ = true;
            if (text_.empty()) return false;
            // The last line has no line feed: it was cut, or ends the file
            // without one.
            line.swap(text_);
            text_.clear();
            ++line_;
            complete = false;
            return true;
        }
    }
}

ENext TraceReader::Next(STraceRecord& record) {
    if (failed_) return ENext::Error;
    std::string line;
    bool complete = false;
    for (;;) {
        if (!ReadLine(line, complete)) return failed_ ? ENext::Error : ENext::End;
        // A blank line is no record, but harms none either.
        if (line.find_first_not_of(" \t\r") != std::string::npos) break;
    }
    std::string why;
    if (!ParseRecord(line, record, why)) {
        // A last line cut in the middle is what a crash leaves.
        if (!complete) {
            cutShort_ = true;
            return ENext::End;
        }
        Fail("line " + std::to_string(line_) + ": " + why);
        return ENext::Error;
    }
    if (sawEnd_) {
        Fail("line " + std::to_string(line_) + ": a record after the end of the trace");
        return ENext::Error;
    }
    if (record.seq <= lastSeq_) {
        Fail("line " + std::to_string(line_) + ": record " + std::to_string(record.seq) + " comes after record " +
             std::to_string(lastSeq_));
        return ENext::Error;
    }
    lastSeq_ = record.seq;
    if (record.kind == ERecordKind::End) sawEnd_ = true;
    return ENext::Record;
}

}  // namespace jv::trace
