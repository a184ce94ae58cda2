#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// Hands the monitor's live events to the readers of the event stream, each
// with a backlog of its own. A reader that falls too far behind is dropped
// (its browser reconnects and reloads) rather than holding memory for ever.
class ipm_EventHub {
public:
    static constexpr std::size_t maxReaders = 32;
    static constexpr std::size_t maxBacklog = 8 * 1024 * 1024;
    // How long a reader lets events gather once one has come.
    static constexpr auto gatherTime = std::chrono::milliseconds(10);

    // A reader's number, or 0 when there are too many readers.
    std::uint64_t Join();
    void Leave(std::uint64_t reader);
    bool HasReaders() const;
    // Queues a Server-Sent Event for every reader.
    void Publish(std::string_view event, std::string_view data);
    // Waits at most `wait` for events and moves them into `events`. False
    // once the reader was dropped or the hub closed.
    bool Take(std::uint64_t reader, std::string& events, std::chrono::milliseconds wait);
    // Ends every reader's stream for good with an "end" event, so that the
    // page can say that the listener has ended.
    void Close();
    // Waits at most `limit` until every reader has left; false if some stay.
    bool AwaitReadersGone(std::chrono::milliseconds limit);

private:
    struct Reader {
        std::string backlog;
        bool dropped = false;
    };

    mutable std::mutex lock;
    std::condition_variable published;
    std::map<std::uint64_t, Reader> readers;
    std::uint64_t lastReader = 0;
    bool closed = false;
};
