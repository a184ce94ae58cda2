#include "tools/listen/ingest/ipm_HeldBytesBound.h"

#include <algorithm>
#include <numeric>

std::vector<std::size_t> ipm_HeldBytesBound::ToDrop(const std::vector<std::size_t>& held, std::size_t total) {
    std::size_t sum = std::accumulate(held.begin(), held.end(), std::size_t{0});
    if (sum <= total) return {};
    std::vector<std::size_t> order(held.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return held[a] > held[b]; });
    std::vector<std::size_t> dropped;
    for (const std::size_t index : order) {
        if (sum <= total) break;
        sum -= held[index];
        dropped.push_back(index);
    }
    return dropped;
}
