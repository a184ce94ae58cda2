#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "ipm/impl/ipm_DocumentBlocks.h"

// Documents waiting for the message task, oldest first, copied back to back
// (each after its length) into blocks of ipm_DocumentBlocks, so buffering one
// costs a copy and no allocation.
class ipm_DocumentQueue {
public:
    ipm_DocumentQueue() = default;
    ipm_DocumentQueue(ipm_DocumentQueue&& other) noexcept { Swap(other); }
    ipm_DocumentQueue& operator=(ipm_DocumentQueue&& other) noexcept {
        Swap(other);
        return *this;
    }
    ipm_DocumentQueue(const ipm_DocumentQueue&) = delete;
    ipm_DocumentQueue& operator=(const ipm_DocumentQueue&) = delete;
    // Unmaps what was not given back.
    ~ipm_DocumentQueue();

    int Count() const { return count; }
    // Where the next document's bytes go, when the last block has room.
    const char* End() const { return last ? last->Bytes() + last->used : nullptr; }
    // The documents' bytes, without the queue's own.
    size_t Bytes() const { return bytes; }
    void Append(std::string_view document, ipm_DocumentBlocks& blocks);
    // Moves `later`'s documents to the end of this queue.
    void Splice(ipm_DocumentQueue& later);
    // Moves the oldest block's documents, without copying them, into `to`
    // when `to` is empty and that block is not the one appended to; false
    // otherwise.
    bool MoveFrontBlock(ipm_DocumentQueue& to);
    // Removes the `documents` oldest; returns the blocks they emptied, as a
    // chain for ipm_DocumentBlocks::Give.
    ipm_DocumentBlocks::Block* DropFront(int documents);
    // Gives the blocks back and empties the queue.
    void Release(ipm_DocumentBlocks& blocks);

    // Calls `visit` with each document, oldest first, until it returns false.
    template <class Visitor>
    void Visit(Visitor visit) const {
        for (const ipm_DocumentBlocks::Block* block = first; block; block = block->next) {
            for (size_t at = block == first ? head : 0; at < block->used;) {
                uint32_t length;
                std::memcpy(&length, block->Bytes() + at, sizeof length);
                at += sizeof length;
                if (!visit(std::string_view(block->Bytes() + at, length))) return;
                at += length;
            }
        }
    }

private:
    void Swap(ipm_DocumentQueue& other) noexcept;

    ipm_DocumentBlocks::Block* first = nullptr;
    ipm_DocumentBlocks::Block* last = nullptr;
    size_t head = 0;  // where the oldest document starts in the first block
    int count = 0;
    size_t bytes = 0;
};
