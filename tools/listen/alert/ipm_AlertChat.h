#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/listen/alert/ipm_Alert.h"
#include "tools/listen/ingest/ipm_JabberClient.h"
#include "tools/listen/ipm_ListenOptions.h"

// Alerts as chat messages through a Jabber login of their own: to accounts
// (USER@SERVER, a chat message each) and to multi-user rooms
// (ROOM@SERVICE/NICK, joined under the nickname, a group message each).
// Logs in at the first alert, and again at the next one after the
// connection failed.
class ipm_AlertChat {
public:
    ipm_AlertChat(ipm_ListenOptions::JabberLogin login, std::vector<std::string> accounts,
                  std::vector<std::string> rooms, std::string pageAddress);

    // Throws std::exception saying why the alert could not be sent.
    void Deliver(const ipm_Alert& alert);

private:
    void Connect();
    void Say(const std::string& to, const char* type, const std::string& text);

    const ipm_ListenOptions::JabberLogin login;
    const std::vector<std::string> accounts;
    const std::vector<std::string> rooms;
    const std::string pageAddress;
    std::unique_ptr<ipm_JabberClient> client;
};
