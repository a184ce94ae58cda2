#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include "csp/csp_TcpSocket.h"

// One connection of the monitor's web server as the HTTP library reads and
// writes it, with the bounds that keep a slow or greedy peer from holding the
// server: each wait for the socket is bounded, a request's head and body must
// arrive within a time and a number of bytes, and once a bound is broken the
// connection ends after its answer.
class ipm_HttpConnection : public httplib::Stream {
public:
    struct Limits {
        std::chrono::milliseconds wait;         // for the socket, each time
        std::chrono::milliseconds requestTime;  // for a request's head and body together
        std::size_t headBytes;
        std::size_t bodyBytes;                  // as sent, chunk framing included
    };

    // Takes over `descriptor`, closing it when it goes.
    ipm_HttpConnection(int descriptor, const Limits& limits);
    ipm_HttpConnection(const ipm_HttpConnection&) = delete;
    ipm_HttpConnection& operator=(const ipm_HttpConnection&) = delete;

    // Waits at most `idle` for the next request and starts its bounds. False
    // when none comes or the connection is to end.
    bool AwaitRequest(std::chrono::milliseconds idle);
    // The head has been read: from here the body's bound applies, and the
    // request is being answered.
    void BeginBody();
    // The connection ends once the current answer is written.
    void EndAfterAnswer() { ending = true; }
    bool Ending() const { return ending; }
    // Waiting for a request or reading its head, rather than being answered;
    // from SetWaiting to BeginBody.
    bool Waiting() const { return waiting; }
    void SetWaiting() { waiting = true; }
    const std::string& Peer() const { return peer; }
    // Ends the conversation now, from any thread: the thread serving the
    // connection sees the end of its socket.
    void End() { stream.tryShutdown(); }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* bytes, size_t size) override;
    ssize_t write(const char* bytes, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return stream.getDescriptor(); }

private:
    bool Fill();

    csp_TcpSocket stream;
    Limits limits;
    std::string peer;
    std::chrono::steady_clock::time_point deadline;
    std::size_t budget = 0;
    bool ending = false;
    std::atomic<bool> waiting{false};
    char buffer[4096];
    std::size_t begin = 0;
    std::size_t end = 0;
};
