// Polls for a condition with a generous bound, so that a loaded machine
// cannot make a test fail; the bound only matters when the test fails.
#pragma once

#include <chrono>
#include <thread>

namespace quillgate::testing {

template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace quillgate::testing
