#include "ipm/impl/ipm_DocumentBlocks.h"

#include <new>

#include "foundation/impl/utl_platform.h"

ipm_DocumentBlocks::~ipm_DocumentBlocks() {
    while (Block* block = spares) {
        spares = block->next;
        Unmap(block);
    }
}

ipm_DocumentBlocks::Block* ipm_DocumentBlocks::Take(size_t bytes) {
    if (!spares || bytes > spares->size) return Map(bytes);
    Block* block = spares;
    spares = block->next;
    --spareCount;
    block->next = nullptr;
    block->used = 0;
    return block;
}

// Only blocks of the usual size are kept; one made for a larger document
// goes back at once.
void ipm_DocumentBlocks::Give(Block* chain) {
    while (Block* block = chain) {
        chain = block->next;
        if (spareCount < spareLimit && block->size + sizeof(Block) == blockSize) {
            block->next = spares;
            spares = block;
            ++spareCount;
        } else {
            Unmap(block);
        }
    }
}

ipm_DocumentBlocks::Block* ipm_DocumentBlocks::Map(size_t bytes) {
    const size_t page = 4096;
    const size_t size = bytes + sizeof(Block) <= blockSize ? blockSize : (bytes + sizeof(Block) + page - 1) / page * page;
    void* memory = utl_mapPages(size);
    if (!memory) throw std::bad_alloc();
    // Under some hypervisors the first write to each page still traps, even
    // populated: one write per page here, on the task's thread when it maps
    // in advance, spares the senders that.
    for (size_t at = 0; at < size; at += page) static_cast<volatile char*>(memory)[at] = 0;
    return new (memory) Block{nullptr, size - sizeof(Block), 0};
}

void ipm_DocumentBlocks::Unmap(Block* block) { utl_unmapPages(block, block->size + sizeof(Block)); }
