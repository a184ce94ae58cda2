#include "tools/job/ipm_TimedInput.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Windows cannot wait on a pipe or a console with a time limit, so a thread
// of its own reads standard input and hands the bytes over. It may stay
// blocked in ReadFile when the job ends; it then owns the shared state alone.
struct ipm_TimedInput::Waiting {
    std::mutex lock;
    std::condition_variable arrived;
    std::condition_variable taken;
    std::string bytes;
    bool ended = false;
};

ipm_TimedInput::ipm_TimedInput() : waiting(std::make_shared<Waiting>()) {
    std::thread([state = waiting] {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        char chunk[4096];
        for (;;) {
            DWORD count = 0;
            const bool read = ::ReadFile(input, chunk, sizeof chunk, &count, nullptr) && count > 0;
            std::unique_lock guard(state->lock);
            if (!read) {
                state->ended = true;
                state->arrived.notify_one();
                return;
            }
            // One chunk at a time, so the bytes held stay bounded.
            state->taken.wait(guard, [&] { return state->bytes.empty(); });
            state->bytes.assign(chunk, count);
            state->arrived.notify_one();
        }
    }).detach();
}

ipm_TimedInput::~ipm_TimedInput() = default;

int ipm_TimedInput::Read(char* buffer, int size, int timeoutMilliseconds) {
    std::unique_lock guard(waiting->lock);
    if (!waiting->arrived.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds),
                                   [&] { return !waiting->bytes.empty() || waiting->ended; }))
        return -1;
    if (waiting->bytes.empty()) return 0;
    const int count = std::min(size, static_cast<int>(waiting->bytes.size()));
    waiting->bytes.copy(buffer, static_cast<size_t>(count));
    waiting->bytes.erase(0, static_cast<size_t>(count));
    if (waiting->bytes.empty()) waiting->taken.notify_one();
    return count;
}
