#include "tools/listen/ipm_OutputWriter.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {
constexpr auto finishOnDestruction = std::chrono::seconds(5);
}  // namespace

ipm_OutputWriter::ipm_OutputWriter(std::FILE* stream, std::string name)
    : stream(stream), name(std::move(name)), thread(&ipm_OutputWriter::Run, this) {}

ipm_OutputWriter::~ipm_OutputWriter() { Finish(finishOnDestruction); }

void ipm_OutputWriter::OnFailure(std::function<void()> handler) {
    std::lock_guard held(lock);
    failed = std::move(handler);
}

void ipm_OutputWriter::Append(std::string_view text) {
    std::unique_lock held(lock);
    // A text longer than the bound waits for all before it, then goes alone.
    room.wait(held, [&] { return !failure.empty() || waiting.size() + text.size() <= maxWaiting || waiting.empty(); });
    ThrowIfFailed();
    waiting.append(text);
    if (idle && waiting.size() >= handOverBytes) work.notify_one();
}

void ipm_OutputWriter::Flush() {
    std::lock_guard held(lock);
    ThrowIfFailed();
    if (waiting.empty()) return;
    flushAsked = true;
    if (idle) work.notify_one();
}

std::string ipm_OutputWriter::Finish(std::chrono::milliseconds within) {
    std::unique_lock held(lock);
    if (thread.joinable()) {
        stopping = true;
        work.notify_one();
        const bool stopped = ended.wait_for(held, within, [&] { return done; });
        held.unlock();
        // A reader that never reads keeps the thread in its write; the
        // process ends without it.
        if (stopped) {
            thread.join();
        } else {
            thread.detach();
        }
        held.lock();
    }
    return failure;
}

void ipm_OutputWriter::Run() {
    std::unique_lock held(lock);
    for (;;) {
        idle = true;
        work.wait(held, [&] { return stopping || waiting.size() >= handOverBytes || (flushAsked && !waiting.empty()); });
        idle = false;
        if (waiting.empty()) break;
        flushAsked = false;
        writing.swap(waiting);
        room.notify_all();
        held.unlock();
        const int error = WriteAll(writing);
        held.lock();
        writing.clear();
        if (error != 0) {
            failure = "cannot write to " + name + ": " + std::strerror(error);
            room.notify_all();
            const std::function<void()> tell = failed;
            held.unlock();
            if (tell) tell();
            held.lock();
            break;
        }
    }
    done = true;
    ended.notify_all();
}

int ipm_OutputWriter::WriteAll(const std::string& bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() && std::fflush(stream) == 0) return 0;
    return errno != 0 ? errno : EIO;
}

void ipm_OutputWriter::ThrowIfFailed() const {
    if (!failure.empty()) throw std::runtime_error(failure);
}
