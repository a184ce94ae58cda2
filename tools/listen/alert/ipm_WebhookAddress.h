#pragma once

#include <string>

// A webhook's address, http:// or https:// HOST[:PORT][/PATH], taken apart
// where the request goes: checked as the options are read, used when an
// alert is posted.
struct ipm_WebhookAddress {
    // SCHEME://HOST[:PORT]
    std::string origin;
    // "/" when the address has none.
    std::string path;

    // Throws std::invalid_argument for any other address.
    static ipm_WebhookAddress Parse(const std::string& address);
};
