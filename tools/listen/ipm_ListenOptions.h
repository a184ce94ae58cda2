#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jcl/jcl_Jid.h"
#include "tools/listen/alert/ipm_AlertSettings.h"
#include "tools/listen/ipm_MessagePrinter.h"

// The listener's command line: see Usage().
class ipm_ListenOptions {
public:
    static constexpr const char* defaultDatabase = "ipm-listen.db";

    // Where the monitor's page is served.
    struct HttpEndpoint {
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;
    };

    // The listener's own account on a Jabber server.
    struct JabberLogin {
        std::string user;
        std::string server;
        std::string resource;
        // The user name unless given; see passwordGiven.
        std::string password;
        bool passwordGiven = false;
        // As given; empty leaves the choice to the environment (jcl_LoginOptions).
        std::string security;
        std::string caFile;
        // Host name or IPv4 address to connect to; the server's name by default.
        std::string serverAddress;

        // USER@SERVER/RESOURCE.
        std::string Address() const { return jcl_Jid{user, server, resource}.Format(); }
    };

    // Throws std::invalid_argument naming the bad argument.
    static ipm_ListenOptions Parse(const std::vector<std::string>& arguments);
    static const char* Usage();

    std::uint16_t port = 0;
    std::string bindAddress = "127.0.0.1";
    ipm_MessagePrinter::Mode mode = ipm_MessagePrinter::Mode::text;
    // Kill a job after this many of its messages; 0 never.
    unsigned long killAfter = 0;
    // A request without an answer after this many seconds shows "no answer".
    unsigned answerSeconds = 60;
    bool help = false;
    bool version = false;
    // Set in Jabber mode, which takes the place of the TCP port unless
    // --port or --bind ask for both.
    std::optional<JabberLogin> jabber;
    bool direct = true;
    std::optional<HttpEndpoint> http;
    // The page's access token (--token, else IPM_MONITOR_TOKEN); generated
    // at start when empty.
    std::string token;
    // The page's source directory (IPM_WEB_DIR), served instead of the
    // built-in copy while developing the page; empty for the built-in one.
    std::string webDirectory;
    // The history; empty for none (neither --http, --db nor --import).
    std::string database;
    // Messages older than this many days are deleted from the history; 0 keeps all.
    unsigned keepDays = 0;
    // The least time without a message after which a job shows as silent.
    std::chrono::seconds silentAfter = std::chrono::seconds(60);
    // A job's log file to load into the history instead of listening.
    std::string importFile;
    // The imported job's name; the file's name without ".ipm" when empty.
    std::string importJob;
    // Alert rules and destinations (--alerts, --alert, --webhook, --notify, --notify-room).
    ipm_AlertSettings alerts;
    // The login that alerts go out through (--notify-as); the listener's own
    // account when empty.
    std::optional<JabberLogin> notifyAs;
    // What the user should hear about the options themselves.
    std::vector<std::string> warnings;
};
