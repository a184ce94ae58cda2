#pragma once

// A listener's client on a real Jabber server, written independently of the
// library's own client so that it can judge what the job puts on the wire: it
// registers and logs in with request identifiers, waits for the matching
// answers, and leaves the cutting of the incoming stream into stanzas to the
// listener program's reader. Every wait is bounded.

#include <chrono>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tests/support/LoopbackPeer.h"
#include "jcl/impl/jcl_StanzaParser.h"
#include "jcl/jcl_Jid.h"
#include "jcl/jcl_XmlWriter.h"

namespace jabbertest {

// One stanza as the server relayed it. A report comes back byte for byte
// when the job escaped it as the writer writes it back, whatever quoting the
// server chose when relaying it.
struct Stanza {
    explicit Stanza(const jcl_Node& stanza) : name(stanza.tagName.view()), node(stanza) {
        for (const jcl_Node& child : stanza.children)
            if (name == "message" && child.tagName == "x" && !report) report = jcl_XmlWriter::Content(child);
    }

    std::string Attribute(const char* key) const { return node.Attribute(key); }

    std::string name;
    jcl_Node node;
    // The content of a message's extension element.
    std::optional<std::string> report;
};

class Listener {
public:
    static constexpr auto defaultBound = std::chrono::seconds(10);

    // Opens a stream to `domain` at `address`:5222, registers `user` (an
    // existing account is fine; the password is the user name) and logs in
    // with `resource`. Throws when the login is refused or does not come.
    Listener(const std::string& address, const std::string& domain, const std::string& user,
             const std::string& resource)
        : jid(jcl_Jid{user, domain, resource}.Format()),
          server(Reach(address)),
          parser(2, [this](jcl_Node& stanza) { arrived.emplace_back(stanza); }) {

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
        try {
            Send("</stream:stream>");
        } catch (const std::runtime_error&) {
            // The server has gone already.
        }
    }

    // Full address: user@domain/resource.
    const std::string& Jid() const { return jid; }

    void Send(const std::string& xml) {
        try {
            server.writeAll(xml.data(), static_cast<int>(xml.size()), loopback::waitMilliseconds);
        } catch (const csp_NetworkException&) {
            throw std::runtime_error("listener: write failed");
        }
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
        if (!loopback::Readable(server.getDescriptor(), timeout)) return false;
        char buffer[4096];
        std::string failure;
        const int received = server.readAvailable(buffer, sizeof buffer, failure);
        if (received <= 0) return false;
        return parser.Feed(buffer, received);
    }

    static csp_TcpSocket Reach(const std::string& address) {
        std::optional<csp_TcpSocket> connected = loopback::Connect(loopback::jabberPort, address);
        if (!connected) throw std::runtime_error("listener: cannot reach the server at " + address);
        return std::move(*connected);
    }

    std::string jid;
    csp_TcpSocket server;
    std::deque<Stanza> arrived;
    jcl_StanzaParser parser;
};

}  // namespace jabbertest
