#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/listen/ipm_Monitor.h"

namespace httplib {
class Server;
}

// The monitor's web server: the page, the JSON API and the live event
// stream (docs/monitor.md), on threads of its own.
class ipm_MonitorServer {
public:
    // Readers of the event stream hold a thread each; the rest serve requests.
    static constexpr std::size_t threads = ipm_EventHub::maxReaders + 8;
    // Jobs another process adds to the history (an import) show within this.
    static constexpr auto refreshInterval = std::chrono::seconds(1);
    // How long the open pages have for their "end" event at the end.
    static constexpr auto endEventTime = std::chrono::milliseconds(1000);

    // Binds to ADDR:PORT (port 0 picks a free one) and starts serving.
    // Throws std::runtime_error when it cannot bind.
    ipm_MonitorServer(ipm_Monitor& monitor, const std::string& address, std::uint16_t port, std::string token);
    // Ends the event streams and stops serving.
    ~ipm_MonitorServer();
    ipm_MonitorServer(const ipm_MonitorServer&) = delete;
    ipm_MonitorServer& operator=(const ipm_MonitorServer&) = delete;

    // http://ADDR:PORT/?token=TOKEN
    std::string PageAddress() const;

private:
    void Route();
    void RefreshJobs();

    ipm_Monitor& monitor;
    std::string address;
    std::string token;
    int port = 0;
    std::unique_ptr<httplib::Server> server;
    std::thread serving;
    std::mutex refreshLock;
    std::condition_variable refreshDue;
    bool stopping = false;
    std::thread refreshing;
};
