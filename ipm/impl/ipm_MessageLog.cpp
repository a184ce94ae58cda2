#include "ipm/impl/ipm_MessageLog.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/impl/utl_platform.h"
#include "ipm/impl/ipm_Prefetch.h"

namespace {
// Far enough ahead that lines asked for there have arrived when the appends
// reach them.
constexpr size_t preparedAhead = 4096;
}  // namespace

// The chunks' pages are touched once here, so that the job's resident memory
// does not creep up during its run as the chunks first fill.
void ipm_MessageLog::Open(const char* path) {
    file = utl_openFile(path, "a");
    if (!file) return;
    // The chunks are the stream's buffer: every write goes straight to the kernel.
    std::setvbuf(file, nullptr, _IONBF, 0);
    chunks.resize(chunkCount);
    for (Chunk& chunk : chunks) {
        chunk.bytes = std::make_unique<char[]>(chunkSize);  // zeroed
        spares.push_back(&chunk);
    }
    filled.reserve(chunkCount);
    current = spares.back();
    spares.pop_back();
    nextByte.store(current->bytes.get(), std::memory_order_relaxed);
}

bool ipm_MessageLog::Append(std::string_view document) {
    if (!file) return false;
    char* room = Reserve(document.size());
    if (!room) {
        WriteAll(document);
        return false;
    }
    std::memcpy(room, document.data(), document.size());
    return Commit(document.size());
}

char* ipm_MessageLog::Reserve(size_t longest) {
    wakeTask = false;
    if (!file || longest > chunkSize) return nullptr;
    if (current->used + longest > chunkSize) [[unlikely]] {
        wakeTask = filled.size() + 1 == filledForWake;
        if (!Retire()) {
            WriteOldest();
            Retire();
        }
    }
    return current->bytes.get() + current->used;
}

bool ipm_MessageLog::Commit(size_t used) {
    current->used += used;
    nextByte.store(current->bytes.get() + current->used, std::memory_order_relaxed);
    return wakeTask;
}

IPM_PREFETCH_FOR_WRITE void ipm_MessageLog::PrepareAppend() const {
    const char* at = nextByte.load(std::memory_order_relaxed);
    if (!at) return;
    ipm_prefetchForWrite(at, ipm_typicalDocumentBytes);
    ipm_prefetchForWrite(at + preparedAhead, ipm_typicalDocumentBytes);
}

bool ipm_MessageLog::Retire() {
    if (spares.empty()) return false;
    filled.push_back(current);
    current = spares.back();
    spares.pop_back();
    return true;
}

// Only one chunk, so a sender that finds them all full waits for at most
// one chunk's write beyond the task's. When the task has taken every filled
// one, the oldest left is the one being filled.
void ipm_MessageLog::WriteOldest() {
    std::lock_guard writer(writeLock);
    if (filled.empty()) {
        Write(current->Text());
        current->used = 0;
        return;
    }
    Chunk* oldest = filled.front();
    filled.erase(filled.begin());
    Write(oldest->Text());
    oldest->used = 0;
    spares.push_back(oldest);
}

void ipm_MessageLog::WriteAll(std::string_view after) {
    std::lock_guard writer(writeLock);
    for (Chunk* chunk : filled) {
        Write(chunk->Text());
        chunk->used = 0;
        spares.push_back(chunk);
    }
    filled.clear();
    Write(current->Text());
    current->used = 0;
    Write(after);
}

// The write lock is taken before the buffer lock is released, so bytes taken
// later, by the task or by a sender, are written after these; it is released
// before the buffer lock is taken again, in the order the locks nest.
void ipm_MessageLog::HandOver(std::unique_lock<thr_Mutex>& bufferLock, bool wholeLog) {
    if (wholeLog && current && current->used > 0) Retire();
    if (filled.empty()) return;
    std::array<Chunk*, chunkCount> taken;
    const size_t count = filled.size();
    std::copy(filled.begin(), filled.end(), taken.begin());
    filled.clear();
    {
        std::lock_guard writer(writeLock);
        bufferLock.unlock();
        for (size_t i = 0; i < count; ++i) Write(taken[i]->Text());
    }
    bufferLock.lock();
    for (size_t i = 0; i < count; ++i) {
        taken[i]->used = 0;
        spares.push_back(taken[i]);
    }
}

void ipm_MessageLog::Close() {
    if (!file) return;
    for (const Chunk* chunk : filled) Write(chunk->Text());
    Write(current->Text());
    std::fclose(file);
    file = nullptr;
    nextByte.store(nullptr, std::memory_order_relaxed);
    chunks.clear();
    filled.clear();
    spares.clear();
    current = nullptr;
}

void ipm_MessageLog::Write(std::string_view bytes) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
}
