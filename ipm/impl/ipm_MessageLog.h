#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "foundation/thr_Mutex.h"

// The message log file behind a set of chunks, so that a sender only copies
// its document: a sender fills one chunk after another, and the message task
// hands the filled ones to the kernel and gives them back, while senders go
// on filling others. A sender writes itself only when every chunk is full.
// Bytes reach the file in the order they were appended, whichever thread
// writes them.
//
// The caller of Append, ShouldHandOver and HandOver holds the transmitter's
// buffer lock; the log's own write lock nests inside it.
class ipm_MessageLog {
public:
    ipm_MessageLog() = default;
    ipm_MessageLog(const ipm_MessageLog&) = delete;
    ipm_MessageLog& operator=(const ipm_MessageLog&) = delete;
    ~ipm_MessageLog() { Close(); }

    // Opens `path` for appending; the log stays closed when it cannot.
    void Open(const char* path);
    bool IsOpen() const { return file != nullptr; }

    // True when this append filled the chunk that makes a hand-over worth
    // waking the task for, before the end of its pause.
    bool Append(std::string_view document);
    // Room for `longest` bytes where the next append starts, so that a
    // document can be written there in place; null while the log is closed
    // or when no chunk could hold that much. Commit then keeps what was
    // written, with Append's result.
    char* Reserve(size_t longest);
    bool Commit(size_t used);
    // Asks for the lines the next appends write, with intent to write, so
    // that they have arrived when those appends come: the message task's
    // write last read them, on another core. Needs no lock; only a hint.
    void PrepareAppend() const;
    bool ShouldHandOver() const { return !filled.empty(); }
    // Writes the filled chunks, and with `wholeLog` the one being filled
    // too. The buffer lock, held on entry, is released during the write, so
    // senders go on appending meanwhile; it is held again on return.
    void HandOver(std::unique_lock<thr_Mutex>& bufferLock, bool wholeLog);
    // Writes what is waiting and closes the file; no lock needed once no
    // other thread uses the log.
    void Close();

    // Many small chunks: the few a sender fills while the task keeps up stay
    // in its cache, and the others let the task fall behind by milliseconds
    // (a slow write into the page cache) without the sender waiting. The
    // task is woken once several have filled, as each wake-up costs the
    // sender a system call.
    static constexpr size_t chunkSize = 128 * 1024;
    static constexpr size_t chunkCount = 32;
    static constexpr size_t filledForWake = 8;

private:
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        size_t used = 0;

        std::string_view Text() const { return {bytes.get(), used}; }
    };

    // Writes every chunk's bytes and then `after` on the sender's thread,
    // after whatever the task is writing (the write lock keeps the order),
    // and gives the chunks back.
    void WriteAll(std::string_view after);
    // Moves the chunk being filled to the filled ones; false when no spare
    // chunk can take its place.
    bool Retire();
    // Writes the oldest chunk on the sender's thread, after whatever the
    // task is writing, and gives it back.
    void WriteOldest();
    // The caller holds writeLock.
    void Write(std::string_view bytes);

    std::FILE* file = nullptr;
    std::vector<Chunk> chunks;
    // Under the buffer lock: the chunk being filled, the filled ones oldest
    // first, and the spares, the most recently written last so that its
    // memory is still in the cache.
    Chunk* current = nullptr;
    std::vector<Chunk*> filled;
    std::vector<Chunk*> spares;
    std::mutex writeLock;
    // Whether the last Reserve filled the chunk that should wake the task.
    bool wakeTask = false;
    // Where the next append starts; null while the log is closed.
    std::atomic<const char*> nextByte{nullptr};
};
