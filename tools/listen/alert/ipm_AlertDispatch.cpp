#include "tools/listen/alert/ipm_AlertDispatch.h"

#include "tools/listen/alert/ipm_Webhook.h"

ipm_AlertDispatch::ipm_AlertDispatch(const ipm_AlertSettings& settings, const std::string& pageAddress) {
    for (const std::string& address : settings.webhooks) {
        auto hook = std::make_shared<ipm_Webhook>(address, pageAddress);
        outlets.push_back(std::make_unique<ipm_AlertOutlet>(
            "webhook " + address, [hook](const ipm_Alert& alert) { hook->Deliver(alert); }));
    }
}

void ipm_AlertDispatch::Post(const ipm_Alert& alert) {
    for (const auto& outlet : outlets) outlet->Post(alert);
}
