#include "tools/listen/web/ipm_EventHub.h"

std::uint64_t ipm_EventHub::Join() {
    std::lock_guard guard(lock);
    if (closed || readers.size() >= maxReaders) return 0;
    readers.emplace(++lastReader, Reader{});
    return lastReader;
}

void ipm_EventHub::Leave(std::uint64_t reader) {
    std::lock_guard guard(lock);
    readers.erase(reader);
    published.notify_all();
}

bool ipm_EventHub::HasReaders() const {
    std::lock_guard guard(lock);
    return !readers.empty();
}

void ipm_EventHub::Publish(std::string_view event, std::string_view data) {
    std::string text = "event: ";
    text.append(event).append("\ndata: ").append(data).append("\n\n");
    std::lock_guard guard(lock);
    bool wake = false;
    for (auto& [number, reader] : readers) {
        if (reader.dropped) continue;
        if (reader.backlog.size() + text.size() > maxBacklog) {
            reader.dropped = true;
            reader.backlog.clear();
            wake = true;
            continue;
        }
        // Only a reader with nothing pending may be waiting for this.
        wake = wake || reader.backlog.empty();
        reader.backlog += text;
    }
    if (wake) published.notify_all();
}

bool ipm_EventHub::Take(std::uint64_t number, std::string& events, std::chrono::milliseconds wait) {
    std::unique_lock guard(lock);
    const auto found = readers.find(number);
    if (found == readers.end()) return false;
    Reader& reader = found->second;
    published.wait_for(guard, wait, [&] { return closed || reader.dropped || !reader.backlog.empty(); });
    // What comes within gatherTime goes out in one write: a write per event
    // would cost the loop that publishes them a switch of threads each.
    if (!reader.backlog.empty()) {
        published.wait_for(guard, gatherTime, [&] { return closed || reader.dropped; });
    }
    if (reader.dropped || (closed && reader.backlog.empty())) return false;
    events.swap(reader.backlog);
    reader.backlog.clear();
    return true;
}

void ipm_EventHub::Close() {
    std::lock_guard guard(lock);
    if (closed) return;
    closed = true;
    for (auto& [number, reader] : readers) reader.backlog += "event: end\ndata: {}\n\n";
    published.notify_all();
}

bool ipm_EventHub::AwaitReadersGone(std::chrono::milliseconds limit) {
    std::unique_lock guard(lock);
    return published.wait_for(guard, limit, [&] { return readers.empty(); });
}
