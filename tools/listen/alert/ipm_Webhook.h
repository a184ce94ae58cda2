#pragma once

#include <string>

#include "tools/listen/alert/ipm_Alert.h"
#include "tools/listen/alert/ipm_WebhookAddress.h"

// Posts alerts as JSON to a web address, as chat systems that take webhooks
// expect: the alert's fields and its readable line as "text".
class ipm_Webhook {
public:
    // Throws std::invalid_argument for an address ipm_WebhookAddress refuses.
    // `pageAddress` leads from an alert to the monitor.
    ipm_Webhook(const std::string& address, std::string pageAddress);

    // Throws std::runtime_error when the post fails or is not accepted.
    void Deliver(const ipm_Alert& alert) const;

private:
    ipm_WebhookAddress address;
    std::string pageAddress;
};
