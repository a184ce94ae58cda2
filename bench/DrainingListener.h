#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// A listener on 127.0.0.1 that accepts every connection and reads whatever
// arrives, each connection on a thread of its own, so that senders never wait
// for a full socket.
class DrainingListener {
public:
    DrainingListener();
    DrainingListener(const DrainingListener&) = delete;
    DrainingListener& operator=(const DrainingListener&) = delete;
    ~DrainingListener();

    int Port() const { return port; }
    // A new client connection to this listener; the caller closes it.
    int Connect() const;
    // Aborts every accepted connection with a reset, as a listener that dies
    // does: the sender's next write fails.
    void HangUp();

private:
    void Accept();
    void Drain(int connection);

    int listening = -1;
    int port = 0;
    std::mutex guard;
    std::vector<int> connections;
    std::vector<std::thread> drainers;
    std::thread acceptor;
};
