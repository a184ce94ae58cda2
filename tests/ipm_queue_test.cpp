#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ipm/impl/ipm_DocumentBlocks.h"
#include "ipm/impl/ipm_DocumentQueue.h"

namespace {
std::vector<std::string> contents(const ipm_DocumentQueue& queue) {
    std::vector<std::string> documents;
    queue.Visit([&](std::string_view document) {
        documents.emplace_back(document);
        return true;
    });
    return documents;
}

// Small and empty documents, and some larger than a block.
std::vector<std::string> documents(int count) {
    std::vector<std::string> made;
    for (int n = 0; n < count; ++n) {
        const size_t size = n % 500 == 7 ? 300 * 1024 + static_cast<size_t>(n) : static_cast<size_t>(n % 300);
        made.emplace_back(size, static_cast<char>('A' + n % 26));
    }
    return made;
}

TEST(DocumentQueue, KeepsDocumentsInOrderAcrossBlocks) {
    ipm_DocumentBlocks blocks;
    ipm_DocumentQueue queue;
    const std::vector<std::string> appended = documents(5000);
    for (const std::string& document : appended) queue.Append(document, blocks);
    EXPECT_EQ(queue.Count(), 5000);
    EXPECT_EQ(contents(queue), appended);

    int visited = 0;
    queue.Visit([&](std::string_view) { return ++visited < 3; });
    EXPECT_EQ(visited, 3);

    ipm_DocumentQueue taken = std::move(queue);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_TRUE(contents(queue).empty());
    EXPECT_EQ(contents(taken), appended);

    // Released blocks come back for the next documents.
    taken.Release(blocks);
    EXPECT_EQ(taken.Count(), 0);
    EXPECT_FALSE(blocks.Low());
    const std::vector<std::string> again = documents(700);
    for (const std::string& document : again) queue.Append(document, blocks);
    EXPECT_EQ(contents(queue), again);
}

TEST(DocumentBlocks, SparesAreReusedAndReportedLow) {
    ipm_DocumentBlocks blocks;
    EXPECT_TRUE(blocks.Low());
    ipm_DocumentBlocks::Block* first = ipm_DocumentBlocks::Map(0);
    ipm_DocumentBlocks::Block* second = ipm_DocumentBlocks::Map(0);
    blocks.Give(first);
    EXPECT_TRUE(blocks.Low());
    blocks.Give(second);
    EXPECT_FALSE(blocks.Low());

    ipm_DocumentBlocks::Block* taken = blocks.Take(100);
    EXPECT_TRUE(taken == first || taken == second);
    EXPECT_EQ(taken->used, 0u);
    EXPECT_TRUE(blocks.Low());

    // A document larger than a block gets a block of its own, never kept.
    ipm_DocumentBlocks::Block* large = blocks.Take(1024 * 1024);
    EXPECT_GE(large->size, 1024u * 1024u);
    large->next = taken;
    blocks.Give(large);
    EXPECT_FALSE(blocks.Low());
    EXPECT_NE(blocks.Take(100), large);
}
}  // namespace
