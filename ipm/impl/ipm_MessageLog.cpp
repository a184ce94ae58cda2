#include "ipm/impl/ipm_MessageLog.h"

#include "foundation/impl/utl_platform.h"

namespace {
// The buffers' pages are touched once here, so that the job's resident
// memory does not creep up during its run as the buffers first fill.
void claim(std::string& buffer) {
    buffer.assign(ipm_MessageLog::capacity, '\0');
    buffer.clear();
}
}  // namespace

void ipm_MessageLog::Open(const char* path) {
    file = utl_openFile(path, "a");
    if (!file) return;
    // This buffer is the stream's buffer: every write goes straight to the kernel.
    std::setvbuf(file, nullptr, _IONBF, 0);
    claim(pending);
    claim(writing);
}

// A full buffer is written on the sender's thread, after whatever the task
// is writing (the write lock keeps the order).
bool ipm_MessageLog::Append(std::string_view document) {
    if (!file) return false;
    if (pending.size() + document.size() > capacity) {
        std::lock_guard writer(writeLock);
        Write(pending);
        pending.clear();
        if (document.size() > capacity) {
            Write(document);
            return false;
        }
    }
    const bool below = pending.size() < handOverSize;
    pending.append(document);
    return below && ShouldHandOver();
}

// The write lock is taken before the buffer lock is released, so bytes taken
// later, by the task or by a sender, are written after these.
void ipm_MessageLog::HandOver(std::unique_lock<thr_Mutex>& bufferLock) {
    if (pending.empty()) return;
    std::lock_guard writer(writeLock);
    writing.swap(pending);
    bufferLock.unlock();
    Write(writing);
    writing.clear();
}

void ipm_MessageLog::Close() {
    if (!file) return;
    Write(pending);
    pending.clear();
    std::fclose(file);
    file = nullptr;
}

void ipm_MessageLog::Write(std::string_view bytes) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
}
