#include "tools/listen/ipm_ListenOptions.h"

#include "tools/listen/alert/ipm_WebhookAddress.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "csp/csp_IpAddress.h"
#include "jcl/jcl_Jid.h"

namespace {

// A count of messages: a billion is beyond any job.
constexpr unsigned long maxKillAfter = 1'000'000'000;

unsigned long parseNumber(const std::string& option, const std::string& text, unsigned long lowest,
                          unsigned long highest) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < lowest || value > highest) {
        throw std::invalid_argument(option + " needs a number from " + std::to_string(lowest) + " to " +
                                    std::to_string(highest) + ", not \"" + text + "\"");
    }
    return value;
}

void setMode(ipm_ListenOptions& options, ipm_MessagePrinter::Mode mode) {
    if (options.mode != ipm_MessagePrinter::Mode::text && options.mode != mode) {
        throw std::invalid_argument("--raw and --json exclude each other");
    }
    options.mode = mode;
}

bool hasByte(std::string_view text, std::string_view bytes) {
    return text.find_first_of(bytes) != std::string_view::npos;
}

bool hasControlByte(std::string_view text) {
    return std::ranges::any_of(text, [](unsigned char byte) { return byte < ' ' || byte == 0x7F; });
}

// USER@SERVER/RESOURCE, with the characters a Jabber address forbids in each
// part refused; the resource runs to the end and may hold "@" and "/".
ipm_ListenOptions::JabberLogin parseJabberAddress(const std::string& text, const std::string& option = "--jabber") {
    ipm_ListenOptions::JabberLogin login;
    if (const auto jid = jcl_Jid::Parse(text)) {
        login.user = jid->user;
        login.server = jid->server;
        login.resource = jid->resource;
    }
    const std::string_view forbidden = " \"&'/:<>@";
    if (login.user.empty() || login.server.empty() || login.resource.empty() || hasByte(login.user, forbidden) ||
        hasByte(login.server, forbidden) || hasControlByte(text)) {
        throw std::invalid_argument(option + " needs USER@SERVER/RESOURCE, not \"" + text + "\"");
    }
    return login;
}

// [ADDR:]PORT
ipm_ListenOptions::HttpEndpoint parseEndpoint(const std::string& text) {
    ipm_ListenOptions::HttpEndpoint endpoint;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        endpoint.address = text.substr(0, colon);
        if (!csp_IpAddress::fromDotted(endpoint.address)) {
            throw std::invalid_argument("--http needs [ADDR:]PORT with a dotted IPv4 address, not \"" + text + "\"");
        }
    }
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    try {
        endpoint.port = static_cast<std::uint16_t>(parseNumber("--http", port, 0, 65535));
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("--http needs PORT or ADDR:PORT (PORT from 0 to 65535, ADDR a dotted IPv4 "
                                    "address), not \"" + text + "\"");
    }
    return endpoint;
}

constexpr const char* tokenVariable = "IPM_MONITOR_TOKEN";

// The token travels in the page's address and in a header.
std::string checkToken(const std::string& source, const std::string& token) {
    for (const char c : token) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            throw std::invalid_argument(source + " takes letters, digits, '-' and '_' only");
        }
    }
    if (token.empty()) throw std::invalid_argument(source + " needs a value");
    return token;
}

std::string visibleSecret(const std::string& option, const std::string& instead) {
    return option + " on the command line is visible to every user of this machine (ps); use " + instead +
           " instead";
}

void checkCombinations(const ipm_ListenOptions& options, bool portOrBind) {
    if (!options.importFile.empty() && (portOrBind || options.jabber || options.http)) {
        throw std::invalid_argument("--import takes no listening options");
    }
    if (!options.importJob.empty() && options.importFile.empty()) throw std::invalid_argument("--job needs --import");
    if (!options.token.empty() && !options.http) throw std::invalid_argument("--token needs --http");
    if (options.keepDays && options.database.empty() && !options.http && options.importFile.empty()) {
        throw std::invalid_argument("--keep-days needs a history (--db or --http)");
    }
    const auto& alerts = options.alerts;
    if ((!alerts.rules.empty() || alerts.Delivers()) && (options.database.empty() && !options.http)) {
        throw std::invalid_argument("alerts need the monitor (--http or --db)");
    }
    const bool chats = !alerts.accounts.empty() || !alerts.rooms.empty();
    if (chats && !options.notifyAs && !options.jabber) {
        throw std::invalid_argument("--notify and --notify-room need a Jabber login (--notify-as or --jabber)");
    }
    if (options.notifyAs && !chats) throw std::invalid_argument("--notify-as needs --notify or --notify-room");
}

}  // namespace

ipm_ListenOptions ipm_ListenOptions::Parse(const std::vector<std::string>& arguments) {
    ipm_ListenOptions options;
    bool portOrBind = false;
    std::optional<std::string> password;
    std::optional<std::string> serverAddress;
    std::optional<std::string> security;
    std::optional<std::string> caFile;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 == arguments.size()) throw std::invalid_argument(option + " needs a value");
            return arguments[++i];
        };
        if (option == "--port") {
            portOrBind = true;
            options.port = static_cast<std::uint16_t>(parseNumber(option, value(), 0, 65535));
        } else if (option == "--bind") {
            portOrBind = true;
            options.bindAddress = value();
            if (!csp_IpAddress::fromDotted(options.bindAddress)) {
                throw std::invalid_argument("--bind needs a dotted IPv4 address, not \"" + options.bindAddress + "\"");
            }
        } else if (option == "--jabber") {
            options.jabber = parseJabberAddress(value());
        } else if (option == "--password") {
            password = value();
            options.warnings.push_back(visibleSecret(option, "IPM_JABBER_PASSWORD or IPM_JABBER_PASSWORD_FILE"));
        } else if (option == "--jabber-security") {
            security = value();
        } else if (option == "--jabber-ca-file") {
            caFile = value();
        } else if (option == "--server-address") {
            serverAddress = value();
            if (serverAddress->empty()) throw std::invalid_argument("--server-address needs a host name or address");
        } else if (option == "--raw") {
            setMode(options, ipm_MessagePrinter::Mode::raw);
        } else if (option == "--json") {
            setMode(options, ipm_MessagePrinter::Mode::json);
        } else if (option == "--kill-after") {
            options.killAfter = parseNumber(option, value(), 1, maxKillAfter);
        } else if (option == "--answer-time") {
            options.answerSeconds = static_cast<unsigned>(parseNumber(option, value(), 1, 86400));
        } else if (option == "--http") {
            options.http = parseEndpoint(value());
        } else if (option == "--token") {
            options.token = checkToken(option, value());
            options.warnings.push_back(visibleSecret(option, tokenVariable));
        } else if (option == "--db") {
            options.database = value();
            if (options.database.empty()) throw std::invalid_argument("--db needs a file name");
        } else if (option == "--keep-days") {
            options.keepDays = static_cast<unsigned>(parseNumber(option, value(), 1, 100000));
        } else if (option == "--silent-after") {
            options.silentAfter = std::chrono::seconds(parseNumber(option, value(), 1, 1000000));
        } else if (option == "--import") {
            options.importFile = value();
        } else if (option == "--job") {
            options.importJob = value();
        } else if (option == "--alerts") {
            options.alerts.AddFile(value());
        } else if (option == "--alert") {
            options.alerts.rules.push_back(ipm_AlertRule::FromOption(value()));
        } else if (option == "--webhook") {
            options.alerts.webhooks.push_back(value());
            ipm_WebhookAddress::Parse(options.alerts.webhooks.back());
        } else if (option == "--notify") {
            // A bare account, checked as a full address: any of its resources gets the message.
            const auto account = parseJabberAddress(value() + "/-", option);
            options.alerts.accounts.push_back(account.user + "@" + account.server);
        } else if (option == "--notify-room") {
            options.alerts.rooms.push_back(parseJabberAddress(value(), option).Address());
        } else if (option == "--notify-as") {
            options.notifyAs = parseJabberAddress(value(), option);
            options.notifyAs->security = "tls";
            options.notifyAs->serverAddress = options.notifyAs->server;
            if (const char* password = std::getenv("IPM_NOTIFY_PASSWORD")) {
                options.notifyAs->password = password;
                options.notifyAs->passwordGiven = true;
            }
        } else if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--version") {
            options.version = true;
        } else {
            throw std::invalid_argument("unknown argument \"" + option + "\"");
        }
    }
    checkCombinations(options, portOrBind);
    options.alerts.DefaultRulesWhenNone();
    if (options.database.empty() && (options.http || !options.importFile.empty())) options.database = defaultDatabase;
    if (const char* token = std::getenv(tokenVariable); options.http && options.token.empty() && token) {
        options.token = checkToken(tokenVariable, token);
    }
    if (const char* directory = std::getenv("IPM_WEB_DIR"); options.http && directory) {
        options.webDirectory = directory;
    }
    if (!options.jabber) {
        if (password || serverAddress || security || caFile) {
            throw std::invalid_argument("--password, --server-address and --jabber-* need --jabber");
        }
        return options;
    }
    options.direct = portOrBind;
    options.jabber->password = password.value_or(options.jabber->user);
    options.jabber->passwordGiven = password.has_value();
    options.jabber->security = security.value_or("");
    options.jabber->caFile = caFile.value_or("");
    options.jabber->serverAddress = serverAddress.value_or(options.jabber->server);
    return options;
}

const char* ipm_ListenOptions::Usage() {
    return "usage: ipm-listen [--port N] [--bind ADDR] [--raw | --json] [--kill-after N] [--answer-time S]\n"
           "                  [MONITOR]\n"
           "       ipm-listen --jabber USER@SERVER/RESOURCE [--password P] [--server-address ADDR]\n"
           "                  [--port N] [--bind ADDR] [--raw | --json] [--kill-after N] [--answer-time S]\n"
           "                  [MONITOR]\n"
           "       ipm-listen --import JOB.ipm [--job NAME] [--db FILE]\n"
           "MONITOR: [--http [ADDR:]PORT [--token T]] [--db FILE] [--keep-days N] [--silent-after S]\n"
           "         [ALERTS]\n"
           "ALERTS: [--alerts FILE] [--alert RULE].. [--webhook URL].. [--notify USER@SERVER]..\n"
           "        [--notify-room ROOM@SERVICE/NICK].. [--notify-as USER@SERVER/RESOURCE]\n"
           "  --port N        TCP port to listen on; 0 (the default) picks a free one\n"
           "  --bind ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
           "  --jabber JID    log in to the Jabber server SERVER on port 5222 as USER (the\n"
           "                  account is registered if it is new) with resource RESOURCE, and\n"
           "                  print the reports jobs send to JID; with --port or --bind, jobs\n"
           "                  are taken on the TCP port as well\n"
           "  --password P    the account's password, visible to all in ps: prefer\n"
           "                  IPM_JABBER_PASSWORD or the file IPM_JABBER_PASSWORD_FILE (default\n"
           "                  in the legacy login: USER)\n"
           "  --jabber-security MODE  legacy (plain stream, registration), tls (STARTTLS and\n"
           "                  SASL to an existing account) or auto (tls when a password is\n"
           "                  given, the default; also IPM_JABBER_SECURITY)\n"
           "  --jabber-ca-file FILE  trusted authorities for the server's certificate\n"
           "                  (default: the system's; also IPM_JABBER_CA_FILE)\n"
           "  --server-address ADDR  host name or IPv4 address of the server (default: SERVER)\n"
           "  --raw           print the job's name and each document as received\n"
           "  --json          print one JSON object per message\n"
           "  --kill-after N  send Kill to a job after its Nth message\n"
           "  --answer-time S  a request a job has not answered after S seconds (default\n"
           "                  60) shows \"no answer\", or \"not delivered\" if it never reached it\n"
           "  --http [ADDR:]PORT  serve the monitor page there (ADDR 127.0.0.1 by default;\n"
           "                  port 0 picks a free one)\n"
           "  --token T       the page's access token, visible to all in ps: prefer\n"
           "                  IPM_MONITOR_TOKEN (default: a new random one)\n"
           "  --db FILE       keep the history in this SQLite database (default with --http\n"
           "                  or --import: ipm-listen.db in the working directory; its\n"
           "                  full path is reported on standard error)\n"
           "  --keep-days N   delete messages older than N days from the history (checked\n"
           "                  hourly; the jobs' rows stay)\n"
           "  --silent-after S  a running job that sends nothing for 10 times its median\n"
           "                  interval, and at least S seconds (default 60), is silent\n"
           "  --alerts FILE   alert rules and destinations (JSON, see docs/alerts.md)\n"
           "  --alert RULE    alert when a job is finished, killed, stopped, crashed, silent\n"
           "                  or unreachable (the state's name), sends an Error (error), sends\n"
           "                  NaN or an infinite value (nonfinite), or a field grows\n"
           "                  (grows:FIELD:FACTOR:WITHIN messages) or crosses a limit\n"
           "                  (above:FIELD:LIMIT, below:FIELD:LIMIT); each fires once per job\n"
           "  --webhook URL   post each alert as JSON to URL (http:// or https://); with no\n"
           "                  rules given: crashed, silent, error and nonfinite\n"
           "  --notify ACCOUNT  send each alert to this Jabber account as a chat message\n"
           "  --notify-room ROOM@SERVICE/NICK  join this multi-user room as NICK and post\n"
           "                  each alert there\n"
           "  --notify-as JID  the secure login alerts are sent through (password:\n"
           "                  IPM_NOTIFY_PASSWORD, else IPM_JABBER_PASSWORD(_FILE)); default:\n"
           "                  the listener's own --jabber account, resource RESOURCE-alerts\n"
           "  --import JOB.ipm  load a job's message log into the history and exit\n"
           "  --job NAME      the imported job's name (default: the file's name)\n"
           "  --version       print the version and exit\n"
           "The first line printed is \"listening on ADDR:PORT\" (with --jabber: \"listening on\n"
           "JID\", once logged in); with --http, \"monitor at http://ADDR:PORT/?token=T\" follows.\n"
           "Type \"kill JOB\" on standard input to send Kill to the jobs of that name, and\n"
           "\"request JOB NAME [VALUE]\" to send a job a request it offered.\n";
}
