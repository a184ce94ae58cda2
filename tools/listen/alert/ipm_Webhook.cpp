#include "tools/listen/alert/ipm_Webhook.h"

#include <httplib.h>
#include <stdexcept>

ipm_Webhook::ipm_Webhook(const std::string& address, std::string pageAddress)
    : address(ipm_WebhookAddress::Parse(address)), pageAddress(std::move(pageAddress)) {}

void ipm_Webhook::Deliver(const ipm_Alert& alert) const {
    httplib::Client client(address.origin);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    client.set_write_timeout(10);
    auto body = alert.ToJson();
    body["text"] = alert.Line(pageAddress);
    const auto result = client.Post(address.path, body.dump(), "application/json");
    if (!result) throw std::runtime_error("no answer (" + httplib::to_string(result.error()) + ")");
    if (result->status < 200 || result->status > 299)
        throw std::runtime_error("the server answered HTTP " + std::to_string(result->status));
}
