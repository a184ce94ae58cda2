// Delivery figures of the message task, against a loopback listener that
// reads everything and timestamps each document as it arrives:
//
//   build/bench/bench/ipm_delivery_bench [seconds]   (default 60)
//
// - kill latency: the listener sends "Kill" while 100,000 messages wait;
// - stop time: ipm_Messaging::Stop with 100,000 messages buffered;
// - catch-up: 1,000 messages per second for `seconds`, the worst delay from
//   ipm_sendMessage to the listener, and the growth of resident memory.
// The catch-up run is repeated configured as one document per write with a
// 60 ms pause (IPM_WRITE_DOCUMENTS=1 IPM_SEND_INTERVAL_MS=60), the pacing
// the library used before; its kill and stop figures followed from that
// pacing, since a kill was heard and a stop ended only after the whole
// backlog had gone out one document per 60 ms.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "csp/csp_TcpAcceptor.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/ipm_Messaging.h"

namespace {
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// Accepts one job and records when each step arrives.
class TimingListener {
public:
    explicit TimingListener(int steps)
        : arrivals(static_cast<size_t>(steps) + 1), reader([this] { Read(); }) {}
    ~TimingListener() {
        listening.stop();
        try {
            std::lock_guard hold(guard);
            if (connection) connection->shutdown();
        } catch (const csp_NetworkException&) {
            // The job has gone: the reader is on its way out.
        }
        reader.join();
    }

    int Port() const { return listening.localAddress().getPort(); }
    long Received() const { return received.load(); }
    void Kill() {
        std::lock_guard hold(guard);
        if (connection) connection->write("Kill", 4);
    }
    Clock::time_point Arrival(int step) const { return arrivals[static_cast<size_t>(step)]; }

private:
    // Ends when the destructor stops the waiting or shuts the connection.
    csp_TcpSocket* Accept() {
        for (;;) {
            csp_SocketAddress peer(0);
            std::string failure;
            std::optional<csp_TcpSocket> accepted = listening.acceptConnection(peer, failure, 1000);
            if (!failure.empty()) return nullptr;
            if (!accepted) continue;
            std::lock_guard hold(guard);
            connection.emplace(std::move(*accepted));
            return &*connection;
        }
    }

    void Read() {
        csp_TcpSocket* job = Accept();
        if (!job) return;
        try {
            ReadSteps(*job);
        } catch (const csp_NetworkException&) {
            // A reset ends the reading as an orderly end does.
        }
    }

    void ReadSteps(csp_TcpSocket& job) {
        static const std::string open = "<step type=\"integer\">";
        std::string carry;
        char buffer[65536];
        for (int count; (count = job.read(buffer, sizeof buffer)) > 0;) {
            carry.append(buffer, static_cast<size_t>(count));
            const auto now = Clock::now();
            size_t at = 0;
            for (size_t found; (found = carry.find(open, at)) != std::string::npos;) {
                const size_t end = carry.find('<', found + open.size());
                if (end == std::string::npos) break;
                const size_t step = std::stoul(carry.substr(found + open.size(), end - found - open.size()));
                if (step < arrivals.size()) arrivals[step] = now;
                received.fetch_add(1);
                at = end;
            }
            carry.erase(0, at);
        }
    }

    csp_TcpAcceptor listening{csp_SocketAddress(csp_IpAddress(0x7f000001u), 0)};
    std::vector<Clock::time_point> arrivals;
    std::mutex guard;
    std::optional<csp_TcpSocket> connection;
    std::atomic<long> received{0};
    std::thread reader;
};

void useJob(const TimingListener& listener, const std::string& directory) {
    thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(std::vector<std::string>{
        "job=bench", "message=ALL", "indir=" + directory, "listener_name=127.0.0.1",
        "direct_port=" + std::to_string(listener.Port())});
}

void send(int step) { ipm_sendMessage("Progress", "step=%i", &step, nullptr, nullptr); }

// Kill latency and stop time behind a backlog of `backlog` messages.
void killAndStop(const std::string& directory, int backlog) {
    TimingListener listener(backlog);
    useJob(listener, directory);
    eli_clearkillsig();
    ipm_Messaging messaging("direct");
    send(1);
    while (listener.Received() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int step = 2; step <= backlog; ++step) send(step);
    const auto killed = Clock::now();
    listener.Kill();
    while (!eli_killsigRaised()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double killMs = millisecondsSince(killed);
    const long ahead = backlog - listener.Received();
    const auto stopping = Clock::now();
    messaging.Stop();
    const double stopMs = millisecondsSince(stopping);
    std::printf("kill heard behind a backlog    %10.1f ms   (%ld messages still waiting; before: about %.0f s)\n",
                killMs, ahead, ahead * 0.0606);
    std::printf("stop with %d buffered     %10.1f ms   (%ld of %d delivered; before: about %.0f s)\n", backlog,
                stopMs, listener.Received(), backlog, ahead * 0.0606);
}

// 1,000 messages per second for `seconds`.
void catchUp(const std::string& directory, int seconds, const char* label) {
    const int total = seconds * 1000;
    TimingListener listener(total);
    useJob(listener, directory);
    std::vector<Clock::time_point> sent(static_cast<size_t>(total) + 1);
    const long before = residentKilobytes();
    long peak = before;
    {
        ipm_Messaging messaging("direct");
        const auto start = Clock::now();
        for (int step = 1; step <= total; ++step) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000L * step));
            sent[static_cast<size_t>(step)] = Clock::now();
            send(step);
            if (step % 1000 == 0) peak = std::max(peak, residentKilobytes());
        }
        double worst = 0;
        for (int step = 1; step <= total; ++step) {
            const auto arrival = listener.Arrival(step);
            if (arrival != Clock::time_point())
                worst = std::max(worst, std::chrono::duration<double, std::milli>(arrival - sent[static_cast<size_t>(step)]).count());
        }
        const long delivered = listener.Received();
        std::printf("%-28s worst delay %8.1f ms, %ld of %d delivered while sending, resident memory +%.1f MB\n", label,
                    worst, delivered, total, (peak - before) / 1024.0);
        std::fflush(stdout);
    }
}
}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const std::string directory = std::filesystem::temp_directory_path() / ("ipm-delivery-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    killAndStop(directory, 100000);
    std::printf("1,000 messages/s for %d s:\n", seconds);
    catchUp(directory, seconds, "  now");
    setenv("IPM_WRITE_DOCUMENTS", "1", 1);
    setenv("IPM_SEND_INTERVAL_MS", "60", 1);
    catchUp(directory, seconds, "  one per write, 60 ms pause");
    std::filesystem::remove_all(directory);
    return 0;
}
