#include "tools/listen/alert/ipm_AlertChat.h"

#include <stdexcept>

#include "jcl/jcl_Jid.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_XmlWriter.h"

namespace {

constexpr const char* roomNamespace = "http://jabber.org/protocol/muc";

// The presence that joins a room under a nickname, asking for no history.
std::string joinRoom(const std::string& occupant) {
    jcl_Node history;
    history.SetTagName("history");
    history.InsertAttribute("maxstanzas", "0");
    jcl_Node x;
    x.SetTagName("x");
    x.InsertAttribute("xmlns", roomNamespace);
    x.Append(history);
    jcl_Node presence;
    presence.SetTagName("presence");
    presence.InsertAttribute("to", cow_String(std::string_view(occupant)));
    presence.Append(x);
    return jcl_XmlWriter::Element(presence);
}

}  // namespace

ipm_AlertChat::ipm_AlertChat(ipm_ListenOptions::JabberLogin login, std::vector<std::string> accounts,
                             std::vector<std::string> rooms, std::string pageAddress)
    : login(std::move(login)), accounts(std::move(accounts)), rooms(std::move(rooms)),
      pageAddress(std::move(pageAddress)) {}

void ipm_AlertChat::Connect() {
    client.reset();
    client = std::make_unique<ipm_JabberClient>(login);
    for (const std::string& room : rooms) client->Send(joinRoom(room));
}

void ipm_AlertChat::Say(const std::string& to, const char* type, const std::string& text) {
    jcl_Message message;
    message.to = cow_String(std::string_view(to));
    message.type = type;
    message.SetBody(cow_String(std::string_view(text)));
    client->Send(std::string(message.Serialize().view()));
}

void ipm_AlertChat::Deliver(const ipm_Alert& alert) {
    // What the server sent since (presences, a room's subject) is read and
    // dropped, so that a dead connection shows before the alert is lost in it.
    std::vector<ipm_JabberClient::Stanza> ignored;
    std::string why;
    if (client && !client->Receive(ignored, why)) client.reset();
    if (!client) Connect();
    const std::string text = alert.Line(pageAddress);
    try {
        for (const std::string& account : accounts) Say(account, "chat", text);
        for (const std::string& room : rooms) Say(jcl_Jid::Parse(room)->Bare(), "groupchat", text);
    } catch (...) {
        client.reset();
        throw;
    }
}
