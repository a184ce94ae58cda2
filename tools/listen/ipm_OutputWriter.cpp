#include "tools/listen/ipm_OutputWriter.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace {
constexpr auto finishOnDestruction = std::chrono::seconds(5);
}  // namespace

struct ipm_OutputWriter::Shared {
    Shared(std::FILE* stream, std::string name) : stream(stream), name(std::move(name)) {}

    std::FILE* stream;
    std::string name;
    std::mutex lock;
    std::condition_variable work, room, ended;
    std::string waiting, writing;
    bool flushAsked = false, idle = false, stopping = false, done = false;
    std::string failure;
    std::function<void()> failed;

    void ThrowIfFailed() const {
        if (!failure.empty()) throw std::runtime_error(failure);
    }
    // 0, or the error of the write that failed.
    int WriteAll(const std::string& bytes) const {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() && std::fflush(stream) == 0) return 0;
        return errno != 0 ? errno : EIO;
    }
};

ipm_OutputWriter::ipm_OutputWriter(std::FILE* stream, std::string name)
    : shared(std::make_shared<Shared>(stream, std::move(name))), thread(&ipm_OutputWriter::Run, shared) {}

ipm_OutputWriter::~ipm_OutputWriter() { Finish(finishOnDestruction); }

void ipm_OutputWriter::OnFailure(std::function<void()> handler) {
    std::lock_guard held(shared->lock);
    shared->failed = std::move(handler);
}

void ipm_OutputWriter::Append(std::string_view text) {
    Shared& s = *shared;
    std::unique_lock held(s.lock);
    // A text longer than the bound waits for all before it, then goes alone.
    const auto fits = [&] {
        return !s.failure.empty() || s.waiting.size() + text.size() <= maxWaiting || s.waiting.empty();
    };
    if (!fits()) {
        // What waits may be less than a hand-over: it goes now.
        s.flushAsked = true;
        s.work.notify_one();
        s.room.wait(held, fits);
    }
    s.ThrowIfFailed();
    s.waiting.append(text);
    if (s.idle && s.waiting.size() >= handOverBytes) s.work.notify_one();
}

void ipm_OutputWriter::Flush() {
    Shared& s = *shared;
    std::lock_guard held(s.lock);
    s.ThrowIfFailed();
    if (s.waiting.empty()) return;
    s.flushAsked = true;
    if (s.idle) s.work.notify_one();
}

std::string ipm_OutputWriter::Finish(std::chrono::milliseconds within) {
    Shared& s = *shared;
    std::unique_lock held(s.lock);
    if (thread.joinable()) {
        s.stopping = true;
        s.work.notify_one();
        const bool stopped = s.ended.wait_for(held, within, [&] { return s.done; });
        held.unlock();
        if (stopped) {
            thread.join();
        } else {
            thread.detach();
        }
        held.lock();
    }
    return s.failure;
}

void ipm_OutputWriter::Run(std::shared_ptr<Shared> shared) {
    Shared& s = *shared;
    std::unique_lock held(s.lock);
    for (;;) {
        s.idle = true;
        s.work.wait(held, [&] {
            return s.stopping || s.waiting.size() >= handOverBytes || (s.flushAsked && !s.waiting.empty());
        });
        s.idle = false;
        if (s.waiting.empty()) break;
        s.flushAsked = false;
        s.writing.swap(s.waiting);
        s.room.notify_all();
        held.unlock();
        const int error = s.WriteAll(s.writing);
        held.lock();
        s.writing.clear();
        if (error != 0) {
            s.failure = "cannot write to " + s.name + ": " + std::strerror(error);
            s.room.notify_all();
            const std::function<void()> tell = s.failed;
            held.unlock();
            if (tell) tell();
            held.lock();
            break;
        }
    }
    s.done = true;
    s.ended.notify_all();
}
