#pragma once
// A console for tests: output, clears, cursor moves and colours go into one
// transcript ("<cls>", "<at 1,9>", "<color 2>"), keys come from a script.
#include <string>

#include "platform/Console.h"

namespace jv {

class RecordingConsole final : public Console {
public:
    explicit RecordingConsole(std::string keys = {}) : keys_(std::move(keys)) {}

    void Clear() override { transcript_ += "<cls>"; }
    void MoveTo(int column, int row) override;
    void SetColor(int color) override;
    void Write(std::string_view text) override { transcript_.append(text); }
    int ReadKey() override;
    bool KeyWaiting() override { return pos_ < keys_.size(); }
    bool ReadNumber(long& value) override;

    const std::string& Transcript() const { return transcript_; }
    // Only the printed text, without the cursor and colour notes.
    std::string Text() const;
    void ClearTranscript() { transcript_.clear(); }
    void SetKeys(std::string keys) {
        keys_ = std::move(keys);
        pos_ = 0;
    }
    size_t KeysLeft() const { return keys_.size() - pos_; }

private:
    std::string transcript_;
    std::string keys_;
    size_t pos_ = 0;
};

// Installs a console (and restores the previous default) for one scope.
class ScopedConsole {
public:
    explicit ScopedConsole(Console& c) { SetConsole(&c); }
    ~ScopedConsole() { SetConsole(nullptr); }
    ScopedConsole(const ScopedConsole&) = delete;
    ScopedConsole& operator=(const ScopedConsole&) = delete;
};

}  // namespace jv
