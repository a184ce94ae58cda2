#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/listen/web/ipm_BoundedHttpServer.h"
#include "tools/listen/web/ipm_PageFiles.h"
#include "tools/listen/store/ipm_Monitor.h"

// The monitor's web server: the page, the JSON API and the live event
// stream (docs/monitor.md), on threads of its own. It answers only requests
// addressed to its own address or this machine's name (no DNS rebinding),
// and anything but the page only with the access token.
class ipm_MonitorServer {
public:
    // Readers of the event stream hold a thread each; the rest serve requests,
    // more than one peer's waiting connections can take.
    static constexpr std::size_t threads = ipm_EventHub::maxReaders + 2 * ipm_BoundedHttpServer::maxWaitingPerPeer;
    // Jobs other processes add to the history (an import, a second listener) show within this.
    static constexpr auto refreshInterval = std::chrono::seconds(1);
    // How long the open pages have for their "end" event at the end.
    static constexpr auto endEventTime = std::chrono::milliseconds(1000);

    // Binds to ADDR:PORT (port 0 picks a free one) and starts serving. The
    // page's files come from `webDirectory` where it has them, else from the
    // built-in copy. Throws std::runtime_error when it cannot bind.
    ipm_MonitorServer(ipm_Monitor& monitor, const std::string& address, std::uint16_t port, std::string token,
                      std::string webDirectory = "");
    // Ends the event streams and stops serving.
    ~ipm_MonitorServer();
    ipm_MonitorServer(const ipm_MonitorServer&) = delete;
    ipm_MonitorServer& operator=(const ipm_MonitorServer&) = delete;

    // http://ADDR:PORT/?token=TOKEN
    std::string PageAddress() const;
    // http://HOST:PORT/, without the token: where an alert's link leads.
    std::string Address() const;

private:
    void Route();
    // Refuses, unread, a request for another host, or one without the token
    // for anything but the page.
    httplib::Server::HandlerResponse Admit(const httplib::Request& request, httplib::Response& response) const;
    // `host`, a Host header, names this server.
    bool IsOwnHost(const std::string& host) const;
    void RefreshJobs();
    // Everything /metrics reports.
    std::string Metrics();
    void ServePageFile(const httplib::Request& request, httplib::Response& response);

    ipm_Monitor& monitor;
    std::string address;
    std::string token;
    std::string webDirectory;
    ipm_PageFiles pageFiles;
    int port = 0;
    std::unique_ptr<ipm_BoundedHttpServer> server;
    std::thread serving;
    std::mutex refreshLock;
    std::condition_variable refreshDue;
    bool stopping = false;
    std::thread refreshing;
};
