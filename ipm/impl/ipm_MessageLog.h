#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/thr_Mutex.h"

// The message log file behind a large buffer, so that a sender only copies
// its document: the message task hands the bytes to the kernel in its pauses,
// and a sender does so itself only when the buffer is full. Bytes reach the
// file in the order they were appended, whichever thread writes them.
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

    // True when this append brought the waiting bytes to the amount that the
    // task should hand over without waiting for the end of its pause.
    bool Append(std::string_view document);
    bool ShouldHandOver() const { return pending.size() >= handOverSize; }
    // Writes what is waiting. The buffer lock, held on entry, is released
    // before the write, so senders go on appending meanwhile; it is left
    // locked only when nothing was waiting.
    void HandOver(std::unique_lock<thr_Mutex>& bufferLock);
    // Writes what is waiting and closes the file; no lock needed once no
    // other thread uses the log.
    void Close();

    static constexpr size_t capacity = 2048 * 1024;

private:
    static constexpr size_t handOverSize = 512 * 1024;

    // The caller holds writeLock.
    void Write(std::string_view bytes);

    std::FILE* file = nullptr;
    std::string pending;  // appended under the buffer lock
    std::string writing;  // taken from pending, written under writeLock
    std::mutex writeLock;
};
