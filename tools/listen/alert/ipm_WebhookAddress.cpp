#include "tools/listen/alert/ipm_WebhookAddress.h"

#include <stdexcept>

ipm_WebhookAddress ipm_WebhookAddress::Parse(const std::string& address) {
    const std::size_t schemeEnd = address.find("://");
    const std::string scheme = address.substr(0, schemeEnd);
    if (schemeEnd == std::string::npos || (scheme != "http" && scheme != "https"))
        throw std::invalid_argument("webhook \"" + address + "\": must start with http:// or https://");
    const std::size_t pathStart = address.find('/', schemeEnd + 3);
    ipm_WebhookAddress parsed{address.substr(0, pathStart),
                              pathStart == std::string::npos ? "/" : address.substr(pathStart)};
    if (parsed.origin.size() == schemeEnd + 3) throw std::invalid_argument("webhook \"" + address + "\": no host");
    return parsed;
}
