#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ipm/impl/ipm_DocumentBlocks.h"
#include "ipm/impl/ipm_DocumentQueue.h"

// Small and empty documents, and some larger than a block, come back in order;
// released blocks serve the next documents.
TEST(DocumentQueue, KeepsDocumentsInOrderAcrossBlocksAndReusesReleasedOnes) {
    ipm_DocumentBlocks blocks;
    ipm_DocumentQueue queue;
    for (const int count : {5000, 700}) {
        std::vector<std::string> appended;
        for (int n = 0; n < count; ++n)
            appended.emplace_back(n % 500 == 7 ? 300 * 1024 + static_cast<size_t>(n) : static_cast<size_t>(n % 300),
                                  static_cast<char>('A' + n % 26));
        for (const std::string& document : appended) queue.Append(document, blocks);
        ipm_DocumentQueue taken = std::move(queue);
        EXPECT_EQ(queue.Count(), 0);  // NOLINT(bugprone-use-after-move): the moved-from queue is empty
        std::vector<std::string> visited;
        taken.Visit([&](std::string_view document) { return visited.emplace_back(document), true; });
        EXPECT_EQ(visited, appended);
        EXPECT_TRUE(blocks.Low());
        taken.Release(blocks);
        EXPECT_FALSE(blocks.Low());
    }
}
