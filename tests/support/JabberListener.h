#pragma once

// A listener's client on a real Jabber server, written independently of the
// library's own client so that it can judge what the job puts on the wire: it
// registers and logs in with request identifiers, waits for the matching
// answers, and cuts the incoming stream into stanzas however the server
// glues or splits them. Every wait is bounded.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/xmp_XML.h"
#include "tests/support/LoopbackPeer.h"

namespace jabbertest {

// One received top-level element, with what the tests look at.
struct Stanza {
    std::string name;
    std::map<std::string, std::string> attributes;
    // The content of the "x" element, written back as XML: elements with
    // their attributes in received order and double quotes, text with "&",
    // "<" and ">" escaped. A document that the job escaped the same way comes
    // back byte for byte, whatever quoting the server chose when relaying it.
    std::string extension;
    bool hasExtension = false;
    std::string body;

    std::string Attribute(const std::string& key) const {
        const auto found = attributes.find(key);
        return found == attributes.end() ? std::string() : found->second;
    }
};

class Listener {
public:
    static constexpr auto defaultBound = std::chrono::seconds(10);

    // Opens a stream to `domain` at `address`:5222, registers `user` (an
    // existing account is fine; the password is the user name) and logs in
    // with `resource`. Throws when the login is refused or does not come.
    Listener(const std::string& address, const std::string& domain, const std::string& user,
             const std::string& resource)
        : jid(user + "@" + domain + "/" + resource),
          descriptor(::socket(AF_INET, SOCK_STREAM, 0)),
          parser(xmp_XML_ParserCreate(nullptr), xmp_XML_ParserFree) {
        const sockaddr_in record = loopback::Record(address, loopback::jabberPort);
        if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&record), sizeof record) != 0)
            throw std::runtime_error("listener: cannot reach the server at " + address);
        xmp_XML_SetUserData(parser.get(), this);
        xmp_XML_SetElementHandler(parser.get(), OnStart, OnEnd);
        xmp_XML_SetCharacterDataHandler(parser.get(), OnText);

        Send("<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
             "xmlns:stream='http://etherx.jabber.org/streams' to='" + domain + "'>");
        const std::string query = "<username>" + user + "</username><password>" + user + "</password>";
        Send("<iq type='set' id='listener-register'><query xmlns='jabber:iq:register'>" + query + "</query></iq>");
        if (!Next([](const Stanza& s) { return s.Attribute("id") == "listener-register"; }))
            throw std::runtime_error("listener: no answer to the registration");
        Send("<iq type='set' id='listener-login'><query xmlns='jabber:iq:auth'>" + query + "<resource>" +
             resource + "</resource></query></iq>");
        const auto login = Next([](const Stanza& s) { return s.Attribute("id") == "listener-login"; });
        if (!login || login->Attribute("type") != "result") throw std::runtime_error("listener: login refused");
    }

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    ~Listener() {
        ::send(descriptor, "</stream:stream>", 16, MSG_NOSIGNAL);
        ::close(descriptor);
    }

    // Full address: user@domain/resource.
    const std::string& Jid() const { return jid; }

    void Send(const std::string& xml) const {
        if (::send(descriptor, xml.data(), xml.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(xml.size()))
            throw std::runtime_error("listener: write failed");
    }

    // The next stanza that `wanted` accepts; the ones before it are dropped.
    // Nothing once `bound` has passed or the server has ended the stream.
    template <class Wanted>
    std::optional<Stanza> Next(Wanted wanted, std::chrono::milliseconds bound = defaultBound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            while (!arrived.empty()) {
                Stanza stanza = std::move(arrived.front());
                arrived.pop_front();
                if (wanted(stanza)) return stanza;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadOnce(static_cast<int>(left.count()))) return std::nullopt;
        }
    }

private:
    // False when nothing came in time or the stream has ended.
    bool ReadOnce(int timeout) {
        pollfd watched{descriptor, POLLIN, 0};
        if (::poll(&watched, 1, timeout) <= 0) return false;
        char buffer[4096];
        const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, 0);
        if (received <= 0) return false;
        xmp_XML_Parse(parser.get(), buffer, static_cast<int>(received), 0);
        return true;
    }

    static std::string Escaped(std::string_view text) {
        std::string escaped;
        for (const char c : text) {
            if (c == '&')
                escaped += "&amp;";
            else if (c == '<')
                escaped += "&lt;";
            else if (c == '>')
                escaped += "&gt;";
            else
                escaped += c;
        }
        return escaped;
    }

    static void OnStart(void* self, const char* name, const char** attributes) {
        Listener& listener = *static_cast<Listener*>(self);
        const int level = ++listener.depth;
        Stanza& stanza = listener.building;
        if (level == 2) {
            stanza = Stanza{name, {}, {}, false, {}};
            for (const char** pair = attributes; *pair; pair += 2) stanza.attributes[pair[0]] = pair[1];
        } else if (listener.extensionDepth && level > listener.extensionDepth) {
            stanza.extension += '<';
            stanza.extension += name;
            for (const char** pair = attributes; *pair; pair += 2)
                stanza.extension += std::string(" ") + pair[0] + "=\"" + pair[1] + "\"";
            stanza.extension += '>';
        } else if (level == 3 && std::string_view(name) == "x") {
            listener.extensionDepth = level;
            stanza.hasExtension = true;
        }
        listener.inBody = level == 3 && std::string_view(name) == "body";
    }

    static void OnEnd(void* self, const char* name) {
        Listener& listener = *static_cast<Listener*>(self);
        const int level = listener.depth--;
        listener.inBody = false;
        if (level == listener.extensionDepth) {
            listener.extensionDepth = 0;
        } else if (listener.extensionDepth && level > listener.extensionDepth) {
            listener.building.extension += std::string("</") + name + ">";
        } else if (level == 2) {
            listener.arrived.push_back(std::move(listener.building));
        }
    }

    static void OnText(void* self, const char* text, int length) {
        Listener& listener = *static_cast<Listener*>(self);
        const std::string_view run(text, static_cast<size_t>(length));
        if (listener.extensionDepth && listener.depth >= listener.extensionDepth)
            listener.building.extension += Escaped(run);
        else if (listener.inBody)
            listener.building.body += run;
    }

    std::string jid;
    int descriptor;
    std::unique_ptr<XML_ParserStruct, void (*)(xmp_XML_Parser)> parser;
    int depth = 0;
    int extensionDepth = 0;
    bool inBody = false;
    Stanza building;
    std::deque<Stanza> arrived;
};

}  // namespace jabbertest
