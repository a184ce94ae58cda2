#include "tools/listen/alert/ipm_Webhook.h"

#include <httplib.h>
#include <stdexcept>

ipm_Webhook::ipm_Webhook(const std::string& address, std::string pageAddress) : pageAddress(std::move(pageAddress)) {
    const std::size_t schemeEnd = address.find("://");
    const std::string scheme = address.substr(0, schemeEnd);
    if (schemeEnd == std::string::npos || (scheme != "http" && scheme != "https"))
        throw std::invalid_argument("webhook \"" + address + "\": must start with http:// or https://");
    const std::size_t pathStart = address.find('/', schemeEnd + 3);
    origin = address.substr(0, pathStart);
    path = pathStart == std::string::npos ? "/" : address.substr(pathStart);
    if (origin.size() == schemeEnd + 3) throw std::invalid_argument("webhook \"" + address + "\": no host");
}

void ipm_Webhook::Deliver(const ipm_Alert& alert) const {
    httplib::Client client(origin);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    client.set_write_timeout(10);
    auto body = alert.ToJson();
    body["text"] = alert.Line(pageAddress);
    const auto result = client.Post(path, body.dump(), "application/json");
    if (!result) throw std::runtime_error("no answer (" + httplib::to_string(result.error()) + ")");
    if (result->status < 200 || result->status > 299)
        throw std::runtime_error("the server answered HTTP " + std::to_string(result->status));
}
