#include "tools/listen/alert/ipm_AlertDispatch.h"

#include "tools/listen/alert/ipm_AlertChat.h"
#include "tools/listen/alert/ipm_Webhook.h"

namespace {

// The listener's own account, under a resource of its own so that alerts
// never share the stream the reports come in on.
ipm_ListenOptions::JabberLogin chatLogin(const ipm_ListenOptions& options) {
    if (options.notifyAs) return *options.notifyAs;
    ipm_ListenOptions::JabberLogin login = *options.jabber;
    login.resource += "-alerts";
    return login;
}

}  // namespace

ipm_AlertDispatch::ipm_AlertDispatch(const ipm_ListenOptions& options, const std::string& pageAddress) {
    const ipm_AlertSettings& settings = options.alerts;
    if (!settings.accounts.empty() || !settings.rooms.empty()) {
        const auto login = chatLogin(options);
        auto chat = std::make_shared<ipm_AlertChat>(login, settings.accounts, settings.rooms, pageAddress);
        outlets.push_back(std::make_unique<ipm_AlertOutlet>(
            "Jabber as " + login.Address(), [chat](const ipm_Alert& alert) { chat->Deliver(alert); }));
    }
    for (const std::string& address : settings.webhooks) {
        auto hook = std::make_shared<ipm_Webhook>(address, pageAddress);
        outlets.push_back(std::make_unique<ipm_AlertOutlet>(
            "webhook " + address, [hook](const ipm_Alert& alert) { hook->Deliver(alert); }));
    }
}

void ipm_AlertDispatch::Post(const ipm_Alert& alert) {
    for (const auto& outlet : outlets) outlet->Post(alert);
}
