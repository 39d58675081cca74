#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/HostConsole.h"

namespace jv {

// Parses a line as a whole decimal number the way a formatted stream
// extraction does: leading blanks, an optional sign, then digits.
bool ParseNumberLine(const std::string& line, long& value);
bool ParseNumberLine(const std::string& line, long& value) {
    const char* p = line.c_str();
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f') ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    char* end = nullptr;
    value = std::strtol(start, &end, 10);
    return end != start;
}

namespace {

class PlainConsole final : public Console {
public:
    PlainConsole(std::FILE* in, std::FILE* out) : in_(in), out_(out) {}

    void Clear() override {}
    void MoveTo(int, int) override {}
    void SetColor(int) override {}
    // Out at once, message by message: a pipe or a file is block-buffered,
    // and someone reading it (tee, a log of a scripted run) would otherwise
    // see a flash of minutes only once it is over.
    void Write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), out_);
        std::fflush(out_);
    }

    int ReadKey() override {
        std::fflush(out_);
        // Line ends are not keys: a script can answer one question per line.
        for (;;) {
            int c = std::fgetc(in_);
            if (c == EOF) return -1;
            if (c != '\n' && c != '\r') return c;
        }
    }

    bool KeyWaiting() override { return false; }

    bool ReadNumber(long& value) override {
        std::fflush(out_);
        std::string line;
        for (;;) {
            int c = std::fgetc(in_);
            if (c == EOF) {
                if (line.empty()) return false;
                break;
            }
            if (c == '\n') {
                // A line holding only blanks is skipped, as a stream extraction skips it.
                if (line.find_first_not_of(" \t\r") == std::string::npos) {
                    line.clear();
                    continue;
                }
                break;
            }
            line.push_back(static_cast<char>(c));
        }
        return ParseNumberLine(line, value);
    }

private:
    std::FILE* in_;
    std::FILE* out_;
};

}  // namespace

std::unique_ptr<Console> MakePlainConsole() { return std::make_unique<PlainConsole>(stdin, stdout); }
std::unique_ptr<Console> MakePlainConsole(std::FILE* in, std::FILE* out) {
    return std::make_unique<PlainConsole>(in, out);
}

}  // namespace jv
