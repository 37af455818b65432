// Polling with a deadline, for tests that watch other threads' progress.
#pragma once

#include <chrono>
#include <thread>

namespace velk::test {

inline constexpr std::chrono::seconds kPatience{20};  // far beyond any healthy wait

// Polls `done` until it holds or `patience` has passed; returns its last value.
template <class Pred>
bool wait_until(Pred done, std::chrono::steady_clock::duration patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

}  // namespace velk::test
