#include "tools/listen/ipm_StandardInput.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "csp/csp_WakeSignal.h"

// The reading thread may stay blocked in ReadFile when the listener ends; it
// then owns the shared state alone.
struct ipm_StandardInput::Reader {
    std::mutex lock;
    std::condition_variable taken;
    std::string bytes;
    bool ended = false;
    csp_WakeSignal wake;

    // Hands one chunk over at a time, so the bytes held stay bounded.
    void Hand(const char* chunk, DWORD count) {
        std::unique_lock guard(lock);
        taken.wait(guard, [&] { return bytes.empty(); });
        bytes.assign(chunk, count);
        wake.raise();
    }

    void End() {
        std::lock_guard guard(lock);
        ended = true;
        wake.raise();
    }
};

ipm_StandardInput::ipm_StandardInput() : reader(std::make_shared<Reader>()) {
    std::thread([state = reader] {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        char chunk[4096];
        DWORD count = 0;
        while (::ReadFile(input, chunk, sizeof chunk, &count, nullptr) && count > 0) state->Hand(chunk, count);
        state->End();
    }).detach();
}

ipm_StandardInput::~ipm_StandardInput() = default;

void ipm_StandardInput::Watch(csp_WaitSet& waits) const {
    std::lock_guard guard(reader->lock);
    if (reader->ended && reader->bytes.empty()) {
        waits.add(-1);
    } else {
        waits.add(reader->wake);
    }
}

std::string ipm_StandardInput::Take() {
    std::lock_guard guard(reader->lock);
    reader->wake.lower();
    std::string taken;
    taken.swap(reader->bytes);
    reader->taken.notify_one();
    return taken;
}
