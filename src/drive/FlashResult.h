#pragma once
// What a step of an update gives back, up to the update run that acts on it:
// nothing when the step succeeded, a failure text to print (silent mode may
// leave it empty: still a failure), or the run's end. The run ends without a
// failure text when the user pressed ESC while the program waited for the
// drive (the tray is unlocked by then), or when the step has already said on
// the console why it cannot go on (a flash chip nobody knows). The program
// then ends with exit code 0, saying nothing more.
#include <optional>
#include <string>
#include <utility>

namespace jv {

class FlashResult {
public:
    FlashResult() = default;
    FlashResult(std::nullopt_t) {}
    FlashResult(std::string failure) : failure_(std::move(failure)) {}
    FlashResult(const char* failure) : failure_(failure) {}
    // A lower step's failure text, or nothing when it succeeded.
    FlashResult(std::optional<std::string> failure) : failure_(std::move(failure)) {}

    static FlashResult RunEnds() {
        FlashResult result;
        result.runEnds_ = true;
        return result;
    }

    // True unless the step succeeded.
    explicit operator bool() const { return runEnds_ || failure_.has_value(); }
    bool EndsRun() const { return runEnds_; }

    // The failure text; empty for a success or the run's end, which have none.
    const std::string& operator*() const { return failure_ ? *failure_ : NoText(); }
    const std::string* operator->() const { return &**this; }

    friend bool operator==(const FlashResult& a, const FlashResult& b) {
        return a.runEnds_ == b.runEnds_ && a.failure_ == b.failure_;
    }

private:
    static const std::string& NoText() {
        static const std::string empty;
        return empty;
    }

    std::optional<std::string> failure_;
    bool runEnds_ = false;
};

}  // namespace jv
