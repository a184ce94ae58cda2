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
    for (int n = 0; n < count; ++n)
        made.emplace_back(n % 500 == 7 ? 300 * 1024 + static_cast<size_t>(n) : static_cast<size_t>(n % 300),
                          static_cast<char>('A' + n % 26));
    return made;
}

TEST(DocumentQueue, KeepsDocumentsInOrderAcrossBlocksAndReusesReleasedOnes) {
    ipm_DocumentBlocks blocks;
    ipm_DocumentQueue queue;
    const std::vector<std::string> appended = documents(5000);
    for (const std::string& document : appended) queue.Append(document, blocks);
    EXPECT_EQ(queue.Count(), 5000);
    int visited = 0;
    queue.Visit([&](std::string_view) { return ++visited < 3; });
    EXPECT_EQ(visited, 3);
    ipm_DocumentQueue taken = std::move(queue);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(contents(taken), appended);

    EXPECT_TRUE(blocks.Low());
    taken.Release(blocks);
    EXPECT_FALSE(blocks.Low());
    const std::vector<std::string> again = documents(700);
    for (const std::string& document : again) queue.Append(document, blocks);
    EXPECT_EQ(contents(queue), again);
}
}  // namespace
