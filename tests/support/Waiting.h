#pragma once

#include <chrono>
#include <thread>

// Checks `condition` every few milliseconds until it holds; false when it has
// not held within `bound` (which only catches a hang).
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
