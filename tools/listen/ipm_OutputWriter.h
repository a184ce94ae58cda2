#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

// A stream written on a thread of its own, so that the loop that receives
// messages only copies what it prints: the kernel's copy into a pipe or a
// terminal, and any wait for its reader, happen beside that loop. Bytes
// reach the stream in the order they were given. A failed write ends the
// writing; it is thrown by the next call that gives bytes, and told at once
// to the failure handler, so that a loop with nothing more to print learns
// of it too.
class ipm_OutputWriter {
public:
    // `name` says which stream in the failure: "cannot write to NAME: why".
    ipm_OutputWriter(std::FILE* stream, std::string name);
    // Finishes, waiting at most a few seconds for the stream.
    ~ipm_OutputWriter();
    ipm_OutputWriter(const ipm_OutputWriter&) = delete;
    ipm_OutputWriter& operator=(const ipm_OutputWriter&) = delete;

    // Called on the writing thread once a write has failed.
    void OnFailure(std::function<void()> handler);
    // Copies `text` to the bytes waiting, and waits while `maxWaiting` bytes
    // wait already. Throws std::runtime_error once a write has failed.
    void Append(std::string_view text);
    // Has the bytes waiting written without waiting for them; throws as
    // Append.
    void Flush();
    // Writes what waits and ends the thread, waiting at most `within` for a
    // stream whose reader does not read (the thread is then left to its
    // write); the failure, if a write failed.
    std::string Finish(std::chrono::milliseconds within);

    // A burst is handed over in pieces of this size, before the loop flushes.
    static constexpr std::size_t handOverBytes = 64 * 1024;
    static constexpr std::size_t maxWaiting = 4 * 1024 * 1024;

private:
    struct Shared;
    // Shared with the thread, which may outlive the writer in its write.
    static void Run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared;
    std::thread thread;
};
