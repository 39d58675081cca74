#include "trace/TraceWriter.h"

#include <charconv>
#include <cstdio>

#include "platform/DriveRoute.h"

namespace jv::trace {

namespace {

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

void AppendNumber(std::string& out, uint64_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    out.append(digits, static_cast<size_t>(end - digits));
}

void AppendHexNumber(std::string& out, uint32_t value) {
    char digits[12];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 16);
    (void)ec;
    out += '"';
    out.append(digits, static_cast<size_t>(end - digits));
    out += '"';
}

const char* DirectionName(uint8_t direction) {
    if (direction == kDirIn) return "in";
    if (direction == kDirOut) return "out";
    return "none";
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x80) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::unique_ptr<TraceWriter> TraceWriter::Create(const std::string& path, SNewFile& result) {
    OwnFile file = OwnFile::CreateNew(path, result);
    if (!file.IsOpen()) return nullptr;
    auto writer = std::make_unique<TraceWriter>(std::move(file), path, EndsWith(path, ".gz"));
    if (writer->stopped_) {
        result = {ENewFile::Failed, "no memory for the compression"};
        return nullptr;
    }
    return writer;
}

void TraceWriter::Header(const STraceHeader& header) {
    if (stopped_) return;
    text_ += "{\"trace\":";
    AppendNumber(text_, static_cast<uint64_t>(header.format));
    text_ += ",\"program\":";
    AppendJsonString(text_, header.program);
    text_ += ",\"version\":";
    AppendJsonString(text_, header.version);
    text_ += ",\"os\":";
    AppendJsonString(text_, header.os);
    text_ += ",\"route\":";
    AppendJsonString(text_, header.route);
    text_ += ",\"started\":";
    AppendJsonString(text_, header.started);
    End(true);
}

TraceWriter::TraceWriter(OwnFile file, std::string path, bool gzip) : file_(std::move(file)), path_(std::move(path)) {
    text_.reserve(4096);
    if (gzip) {
        gzip_ = std::make_unique<GzipLines>();
        if (!gzip_->Ready()) stopped_ = true;
    }
}

TraceWriter::~TraceWriter() {
    // A trace left open (its program ended without closing it) still gets
    // what it holds, as a whole gzip member, without the end record that
    // says the program ended as programs do.
    if (stopped_ || !file_.IsOpen()) return;
    if (gzip_) gzip_->Finish();
    WriteOut();
    file_.Close();
}

void TraceWriter::WriteOut() {
    bool ok = true;
    if (gzip_) {
        std::vector<uint8_t>& out = gzip_->Output();
        ok = file_.Append(out);
        out.clear();
    } else {
        ok = file_.Append(std::span(reinterpret_cast<const uint8_t*>(text_.data()), text_.size()));
        text_.clear();
    }
    if (!ok) Stop(LastErrorText());
}

void TraceWriter::Stop(const std::string& why) {
    if (stopped_) return;
    stopped_ = true;
    // fputs: the Windows programs must not need stdio's locking entries.
    const std::string line = "trace " + path_ + ": " + why + "; recording stopped\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void TraceWriter::Begin(uint64_t us) {
    text_ += "{\"seq\":";
    AppendNumber(text_, ++seq_);
    text_ += ",\"us\":";
    AppendNumber(text_, us);
}

void TraceWriter::Hex(std::span<const uint8_t> bytes) {
    text_ += '"';
    if (gzip_ && bytes.size() >= kOwnBlockMinimum) {
        gzip_->Text(text_);
        text_.clear();
        gzip_->Hex(bytes);
    } else {
        AppendHex(text_, bytes);
    }
    text_ += '"';
}

void TraceWriter::End(bool write) {
    if (stopped_) {
        text_.clear();
        return;
    }
    text_ += "}\n";
    if (gzip_) {
        // Lines not written yet wait in zlib, which needs no flush until
        // they are.
        gzip_->Text(text_);
        text_.clear();
        if (write) gzip_->Sync();
    }
    if (write) WriteOut();
}

void TraceWriter::Command(const SCommandFields& c) {
    if (stopped_) return;
    Begin(c.us);
    text_ += ",\"drive\":";
    AppendJsonString(text_, c.drive);
    text_ += ",\"cdb\":";
    Hex(std::span(c.cdb, 12));
    text_ += ",\"dir\":\"";
    text_ += DirectionName(c.direction);
    text_ += "\",\"len\":";
    AppendNumber(text_, c.length);
    if (c.direction == kDirOut) {
        text_ += ",\"out\":";
        Hex(c.out);
    }
    if (c.status) {
        text_ += ",\"status\":";
        AppendNumber(text_, *c.status);
    } else if (c.timeoutSeconds != 0) {
        text_ += ",\"timeout\":";
        AppendNumber(text_, c.timeoutSeconds);
    } else {
        text_ += ",\"error\":";
        AppendJsonString(text_, c.error.empty() ? std::string_view("no answer") : c.error);
    }
    if (!c.sense.empty()) {
        text_ += ",\"sense\":";
        Hex(c.sense);
    }
    if (c.direction == kDirIn) {
        text_ += ",\"in\":";
        Hex(c.in);
    }
    if (c.direction != kDirNone) {
        text_ += ",\"resid\":";
        AppendNumber(text_, c.resid);
    }
    text_ += ",\"dur\":";
    AppendNumber(text_, c.durationUs);
    // Register records before it went out with it.
    unwrittenPorts_ = 0;
    End(true);
}

void TraceWriter::Port(uint64_t us, const SPortRecord& access) {
    if (stopped_) return;
    Begin(us);
    text_ += ",\"port\":";
    AppendHexNumber(text_, access.port);
    text_ += access.write ? ",\"write\":" : access.wide ? ",\"read16\":" : ",\"read\":";
    AppendHexNumber(text_, access.value);
    if (access.count != 1) {
        text_ += ",\"count\":";
        AppendNumber(text_, access.count);
    }
    const bool write = ++unwrittenPorts_ >= kPortRecordsPerWrite;
    if (write) unwrittenPorts_ = 0;
    End(write);
}

void TraceWriter::Claim(uint64_t us, const SClaimRecord& claim) {
    if (stopped_) return;
    Begin(us);
    text_ += ",\"claim\":";
    AppendHexNumber(text_, claim.first);
    text_ += ",\"ports\":";
    AppendNumber(text_, claim.count);
    if (!claim.refused.empty()) {
        text_ += ",\"refused\":";
        AppendJsonString(text_, claim.refused);
    }
    unwrittenPorts_ = 0;
    End(true);
}

void TraceWriter::Close(uint64_t us) {
    if (stopped_ || !file_.IsOpen()) return;
    Begin(us);
    text_ += ",\"end\":true";
    End(gzip_ == nullptr);
    if (gzip_) {
        gzip_->Finish();
        WriteOut();
    }
    if (!stopped_ && !file_.Close()) Stop(LastErrorText());
    file_.Close();
    stopped_ = true;
}

}  // namespace jv::trace
