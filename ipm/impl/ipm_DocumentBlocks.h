#pragma once

#include <cstddef>

// Memory for buffered documents, in blocks whose pages are mapped and
// populated in one call: faulted in page by page while the job sends, they
// can cost more than the messages themselves. Keeps a few released blocks for
// reuse. Not thread-safe: the transmitter uses it under its buffer lock;
// Map and Unmap need no lock.
class ipm_DocumentBlocks {
public:
    struct Block {
        Block* next;
        size_t size;  // bytes after this header
        size_t used;

        char* Bytes() { return reinterpret_cast<char*>(this + 1); }
        const char* Bytes() const { return reinterpret_cast<const char*>(this + 1); }
    };

    ipm_DocumentBlocks() = default;
    ipm_DocumentBlocks(const ipm_DocumentBlocks&) = delete;
    ipm_DocumentBlocks& operator=(const ipm_DocumentBlocks&) = delete;
    ~ipm_DocumentBlocks();

    // An empty block with room for `bytes`: a spare one when they fit one,
    // else a new one.
    Block* Take(size_t bytes);
    // Keeps the chained blocks (also one Map made in advance) for reuse, as
    // many as the spares may hold, and unmaps the others.
    void Give(Block* chain);
    // Fewer spares than a fast sender needs before the task's next pause.
    bool Low() const { return spareCount < lowCount; }

    // A new block with room for at least `bytes`; throws std::bad_alloc.
    static Block* Map(size_t bytes);
    static void Unmap(Block* block);

private:
    static constexpr size_t blockSize = 256 * 1024;
    static constexpr int lowCount = 2;
    static constexpr int spareLimit = 4;

    Block* spares = nullptr;
    int spareCount = 0;
};
