#include "ipm/impl/ipm_DocumentQueue.h"

#include <utility>

ipm_DocumentQueue::~ipm_DocumentQueue() {
    while (ipm_DocumentBlocks::Block* block = first) {
        first = block->next;
        ipm_DocumentBlocks::Unmap(block);
    }
}

void ipm_DocumentQueue::Append(std::string_view document, ipm_DocumentBlocks& blocks) {
    const uint32_t length = static_cast<uint32_t>(document.size());
    const size_t needed = sizeof length + document.size();
    if (!last || last->size - last->used < needed) {
        ipm_DocumentBlocks::Block* block = blocks.Take(needed);
        (last ? last->next : first) = block;
        last = block;
    }
    char* at = last->Bytes() + last->used;
    std::memcpy(at, &length, sizeof length);
    std::memcpy(at + sizeof length, document.data(), document.size());
    last->used += needed;
    ++count;
}

void ipm_DocumentQueue::Release(ipm_DocumentBlocks& blocks) {
    blocks.Give(first);
    first = last = nullptr;
    count = 0;
}

void ipm_DocumentQueue::Swap(ipm_DocumentQueue& other) noexcept {
    std::swap(first, other.first);
    std::swap(last, other.last);
    std::swap(count, other.count);
}
