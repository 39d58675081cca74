#include "platform/RecordingConsole.h"

#include <cstdio>

namespace jv {

bool ParseNumberLine(const std::string& line, long& value);

void RecordingConsole::MoveTo(int column, int row) {
    char note[32];
    std::snprintf(note, sizeof note, "<at %d,%d>", column, row);
    transcript_ += note;
}

void RecordingConsole::SetColor(int color) {
    char note[32];
    std::snprintf(note, sizeof note, "<color %d>", color);
    transcript_ += note;
}

int RecordingConsole::ReadKey() {
    if (pos_ >= keys_.size()) return -1;
    return static_cast<unsigned char>(keys_[pos_++]);
}

bool RecordingConsole::ReadNumber(long& value) {
    while (pos_ < keys_.size()) {
        size_t end = keys_.find('\n', pos_);
        if (end == std::string::npos) end = keys_.size();
        std::string line = keys_.substr(pos_, end - pos_);
        pos_ = end < keys_.size() ? end + 1 : end;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        return ParseNumberLine(line, value);
    }
    return false;
}

std::string RecordingConsole::Text() const {
    std::string out;
    for (size_t i = 0; i < transcript_.size(); ++i) {
        if (transcript_[i] == '<') {
            size_t close = transcript_.find('>', i);
            std::string_view note(transcript_.data() + i, close == std::string::npos ? 0 : close - i + 1);
            if (note == "<cls>" || note.starts_with("<at ") || note.starts_with("<color ")) {
                i = close;
                continue;
            }
        }
        out.push_back(transcript_[i]);
    }
    return out;
}

}  // namespace jv
