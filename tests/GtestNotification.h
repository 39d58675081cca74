#pragma once
// Read before GoogleTest's own headers in the Windows build (a forced
// include, see tests/CMakeLists.txt). The win32-thread flavour of the MinGW
// compilers has no std::mutex or std::condition_variable, which GoogleTest's
// Notification is made of; everything else of its thread support uses Win32
// calls directly. This Notification holds a flag instead. GoogleTest waits on
// it only when it starts threads of its own, which no test here asks for.
#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true, std::memory_order_release); }
    void WaitForNotification() {
        while (!notified_.load(std::memory_order_acquire)) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace testing::internal
