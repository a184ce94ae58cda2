#pragma once

#include <string>
#include <string_view>

// Cuts the direct connection's bytes from the listener into lines and hands
// each request line to the request desk. A line may arrive split across
// reads; a partial line is kept up to a bound, and a longer one is skipped
// to its end.
class ipm_RequestLines {
public:
    static constexpr size_t lineBound = 4096;

    void Feed(std::string_view bytes);
    // A new connection starts with no partial line.
    void Clear();

private:
    std::string partial;
    bool skipping = false;
};
