#pragma once

#include <cstddef>
#include <vector>

// The overall bound on the bytes that the jobs' unfinished documents hold in
// the listener: each connection is capped on its own, but many connections
// at their cap would still add up.
class ipm_HeldBytesBound {
public:
    static constexpr std::size_t defaultTotal = 64 * 1024 * 1024;

    // The connections to drop, by their index in `held`, largest holders
    // first, so that the others hold at most `total` bytes together.
    static std::vector<std::size_t> ToDrop(const std::vector<std::size_t>& held, std::size_t total = defaultTotal);
};
