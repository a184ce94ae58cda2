#pragma once

#include <string>
#include <string_view>

// The secret that the page sends with every API request, so that neither
// other users of the machine nor other sites open in the same browser can
// read the jobs or stop them.
class ipm_AccessToken {
public:
    // 128 random bits from the system's secure source, as hex digits.
    // Throws std::runtime_error when no random bytes are to be had.
    static std::string Generate();
    // Compares in a time that does not tell how much of `given` is right.
    static bool Matches(std::string_view expected, std::string_view given);
};
