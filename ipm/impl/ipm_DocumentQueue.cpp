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
    bytes += document.size();
}

void ipm_DocumentQueue::Splice(ipm_DocumentQueue& later) {
    if (!later.first) return;
    if (!first) {
        Swap(later);
        return;
    }
    last->next = later.first;
    last = later.last;
    count += later.count;
    bytes += later.bytes;
    later.first = later.last = nullptr;
    later.head = later.bytes = 0;
    later.count = 0;
}

bool ipm_DocumentQueue::MoveFrontBlock(ipm_DocumentQueue& to) {
    if (!first || first == last || to.first) return false;
    ipm_DocumentBlocks::Block* block = first;
    int moved = 0;
    size_t movedBytes = 0;
    for (size_t at = head; at < block->used; ++moved) {
        uint32_t length;
        std::memcpy(&length, block->Bytes() + at, sizeof length);
        at += sizeof length + length;
        movedBytes += length;
    }
    first = block->next;
    block->next = nullptr;
    to.first = to.last = block;
    to.head = head;
    to.count = moved;
    to.bytes = movedBytes;
    head = 0;
    count -= moved;
    bytes -= movedBytes;
    return true;
}

ipm_DocumentBlocks::Block* ipm_DocumentQueue::DropFront(int documents) {
    ipm_DocumentBlocks::Block* emptied = nullptr;
    ipm_DocumentBlocks::Block** tail = &emptied;
    for (; documents > 0 && first; --documents) {
        uint32_t length;
        std::memcpy(&length, first->Bytes() + head, sizeof length);
        head += sizeof length + length;
        bytes -= length;
        --count;
        if (head < first->used) continue;
        ipm_DocumentBlocks::Block* done = first;
        first = done->next;
        done->next = nullptr;
        *tail = done;
        tail = &done->next;
        head = 0;
        if (!first) last = nullptr;
    }
    return emptied;
}

void ipm_DocumentQueue::Release(ipm_DocumentBlocks& blocks) {
    blocks.Give(first);
    first = last = nullptr;
    head = bytes = 0;
    count = 0;
}

void ipm_DocumentQueue::Swap(ipm_DocumentQueue& other) noexcept {
    std::swap(first, other.first);
    std::swap(last, other.last);
    std::swap(head, other.head);
    std::swap(count, other.count);
    std::swap(bytes, other.bytes);
}
