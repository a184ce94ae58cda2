// The monitor under load, against the real ipm-listen program over loopback:
//   ingest: documents sent as fast as a few connections take them, until the
//           history holds every one, against appending the same documents to
//           a plain file; the listener's memory along the way.
//   many jobs: JOBS direct connections each sending 10 messages a second for
//           SECONDS, then 10,000 connections each sending one a second for
//           SECONDS: nothing lost, how far the live event stream lags behind,
//           the listener's CPU and memory.
//   big job: one job of MESSAGES messages, its page opened in headless
//           Chromium: how long until its charts are drawn.
// Run by hand: ipm_monitor_bench [MESSAGES [JOBS [SECONDS [PHASES]]]]
// (defaults 1000000, 1000, 60, all phases); PHASES names those to run, out
// of ingest, jobs, crowd (the 10,000 jobs) and page, e.g. "ingest,page".
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <httplib.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "csp/csp_TcpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Targets: ingest at least 0.2 of the plain file's rate; at 10,000 jobs the
// live event stream at most 250 ms behind at the 99th percentile and the
// listener within 256 MiB; a million-message job's page open in 1 s.
constexpr double ingestTarget = 0.2;
constexpr double lagTarget = 250;
constexpr double memoryTarget = 256;
constexpr double pageTarget = 1000;

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double epochMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string document(int step, double sent) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "<Progress><step type=\"integer\">%d</step><increment type=\"integer\">%d</increment>"
                  "<load type=\"float\">%.17g</load><residual type=\"float\">%.17g</residual>"
                  "<sent type=\"float\">%.17g</sent><phase type=\"symconst\">Solve</phase>"
                  "<jobName type=\"string\">beam</jobName></Progress>\n",
                  step / 10, step % 10, step * 0.001, 1.0 / (step + 1), sent);
    return text;
}

// The listener as a child process; its standard output is read and dropped
// on a thread of its own once the two address lines are read.
class ListenerProcess {
public:
    explicit ListenerProcess(const std::string& database) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("no pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> arguments{IPM_LISTEN_PATH, "--port", "0", "--http", "0", "--db", database};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start the listener");
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output = ::fdopen(out[0], "r");
        port = portAfter("listening on 127.0.0.1:");
        httpPort = portAfter("monitor at http://127.0.0.1:");
        pageAddress = "http://127.0.0.1:" + std::to_string(httpPort) + "/" + tokenPart;
        eventsPath = "/api/events" + tokenPart;
        drain = std::thread([this] {
            char buffer[65536];
            while (std::fread(buffer, 1, sizeof buffer, output) > 0) {
            }
        });
    }
    ~ListenerProcess() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        drain.join();
        std::fclose(output);
    }

    // Resident memory in MiB, now and at its peak.
    std::pair<double, double> Memory() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        double now = 0, peak = 0;
        while (std::getline(status, line)) {
            if (line.starts_with("VmRSS:")) now = std::stod(line.substr(6)) / 1024;
            if (line.starts_with("VmHWM:")) peak = std::stod(line.substr(6)) / 1024;
        }
        return {now, peak};
    }
    // User and system CPU seconds used so far.
    double CpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        const std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(all.substr(all.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14) ticks += std::stod(field);
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    int port = 0;
    int httpPort = 0;
    std::string pageAddress;
    std::string eventsPath;

private:
    int portAfter(const std::string& prefix) {
        char line[512];
        if (!std::fgets(line, sizeof line, output)) throw std::runtime_error("the listener did not start");
        const std::string text(line);
        if (!text.starts_with(prefix)) throw std::runtime_error("unexpected line: " + text);
        const std::size_t query = text.find("/?");
        if (query != std::string::npos) tokenPart = text.substr(query + 1, text.find_last_not_of('\n') - query);
        return std::atoi(text.c_str() + prefix.size());
    }

    std::string tokenPart;
    pid_t pid = -1;
    FILE* output = nullptr;
    std::thread drain;
};

csp_TcpSocket connectTo(int port) {
    csp_TcpSocket job(csp_TcpSocket::NoBinding);
    job.connectTo(csp_SocketAddress(csp_IpAddress(0x7f000001u), port));
    return job;
}

void sendAll(csp_TcpSocket& job, const std::string& bytes) {
    try {
        job.writeAll(bytes.data(), static_cast<int>(bytes.size()), 60000);
    } catch (const csp_NetworkException&) {
        throw std::runtime_error("the listener stopped reading");
    }
}

long long queryNumber(const std::string& database, const std::string& sql) {
    sqlite3* db = nullptr;
    long long number = -1;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            number = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return number;
}

long long storedRows(const std::string& database, const char* table = "messages") {
    return queryNumber(database, std::string("SELECT count(*) FROM ") + table);
}

// Waits until the history holds `expected` messages or nothing moves for 10 s.
// The wait reads the jobs' own counts, written with each batch: counting the
// rows walks a million-entry index, and doing it every 50 ms took a good part
// of a core from the listener being measured. The rows are counted once, at
// the end.
long long awaitStored(const std::string& database, long long expected) {
    long long stored = 0, before = -1;
    auto lastMove = Clock::now();
    while ((stored = queryNumber(database, "SELECT total(messages) FROM jobs")) < expected &&
           Clock::now() - lastMove < 10s) {
        if (stored != before) lastMove = Clock::now(), before = stored;
        std::this_thread::sleep_for(50ms);
    }
    return storedRows(database);
}

void ingest(const std::filesystem::path& dir, long long messages) {
    constexpr int connections = 4;
    std::vector<std::string> chunks(connections);
    long long bytes = 0;
    for (long long i = 0; i < messages; ++i) chunks[i % connections] += document(static_cast<int>(i), 0);
    for (const auto& chunk : chunks) bytes += static_cast<long long>(chunk.size());

    const auto fileStart = Clock::now();
    {
        std::ofstream file(dir / "plain.ipm", std::ios::binary);
        for (long long i = 0; i < messages; ++i) file << document(static_cast<int>(i), 0);
    }
    const double fileSeconds = secondsSince(fileStart);

    const std::string database = (dir / "ingest.db").string();
    ListenerProcess listener(database);
    std::vector<std::pair<double, double>> memory;
    std::atomic<bool> sending{true};
    std::thread sampler([&] {
        while (sending) {
            memory.push_back(listener.Memory());
            std::this_thread::sleep_for(500ms);
        }
    });
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    for (int c = 0; c < connections; ++c) {
        senders.emplace_back([&, c] {
            csp_TcpSocket job = connectTo(listener.port);
            sendAll(job, "job" + std::to_string(c));
            constexpr std::size_t piece = 1 << 20;
            for (std::size_t at = 0; at < chunks[c].size(); at += piece) sendAll(job, chunks[c].substr(at, piece));
        });
    }
    for (auto& sender : senders) sender.join();
    const long long stored = awaitStored(database, messages);
    const double seconds = secondsSince(start);
    sending = false;
    sampler.join();
    std::printf("ingest: %lld messages (%.0f MB) from %d connections\n", messages, static_cast<double>(bytes) / 1e6, connections);
    const double fileRate = static_cast<double>(messages) / fileSeconds;
    const double rate = static_cast<double>(stored) / seconds;
    std::printf("  plain file:            %8.0f messages/s\n", fileRate);
    std::printf("  listener with history: %8.0f messages/s, %lld stored (%s)\n", rate, stored,
                stored == messages ? "none lost" : "LOST SOME");
    std::printf("  ratio to the plain file: %.3f (target at least %.2f: %s)\n", rate / fileRate, ingestTarget,
                verdict(rate / fileRate >= ingestTarget));
    std::printf("  listener memory (RSS MiB) every 0.5 s:");
    for (std::size_t i = 0; i < memory.size(); i += std::max<std::size_t>(1, memory.size() / 10))
        std::printf(" %.0f", memory[i].first);
    std::printf("; peak %.0f\n", listener.Memory().second);
}

void manyJobs(const std::filesystem::path& dir, int jobs, int rate, int seconds) {
    const std::string database = (dir / ("many-" + std::to_string(jobs) + ".db")).string();
    ListenerProcess listener(database);
    std::mutex lagLock;
    std::vector<double> lags;
    // The lags of the messages sent once the burst of connections is some
    // seconds behind: tells the steady state from the catching up.
    std::vector<double> settledLags;
    std::atomic<double> settledFrom{std::numeric_limits<double>::infinity()};
    httplib::Client events("127.0.0.1", listener.httpPort);
    events.set_read_timeout(seconds + 30, 0);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::string pending;
        events.Get(listener.eventsPath, [&](const char* data, std::size_t length) {
            const double now = epochMilliseconds();
            pending.append(data, length);
            // The events of a chunk read in place: erasing each from the front
            // would cost the reader the square of the chunk.
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find("\n\n", start)) != std::string::npos; start = end + 2) {
                const std::string_view event(pending.data() + start, end - start);
                if (!event.starts_with("event: message")) continue;
                const auto json = nlohmann::json::parse(event.substr(event.find("data: ") + 6));
                const double sentAt = json["message"]["fields"]["sent"].get<double>();
                std::lock_guard guard(lagLock);
                lags.push_back(now - sentAt);
                if (sentAt >= settledFrom) settledLags.push_back(now - sentAt);
            }
            pending.erase(0, start);
            return !done;
        });
    });
    std::vector<csp_TcpSocket> sockets;
    const auto connecting = Clock::now();
    for (int j = 0; j < jobs; ++j) {
        sockets.push_back(connectTo(listener.port));
        sendAll(sockets.back(), "job" + std::to_string(j));
    }
    const double connected = secondsSince(connecting);
    const double cpuBefore = listener.CpuSeconds();
    const auto start = Clock::now();
    settledFrom = epochMilliseconds() + 5000;
    long long sent = 0;
    // Each tick's messages spread over the tick, as independent jobs send them.
    const auto tickTime = std::chrono::microseconds(1000000 / rate);
    for (int tick = 0; tick < seconds * rate; ++tick) {
        for (int j = 0; j < jobs; ++j) {
            std::this_thread::sleep_until(start + tick * tickTime + j * tickTime / jobs);
            sendAll(sockets[static_cast<std::size_t>(j)], document(tick, epochMilliseconds()));
            ++sent;
        }
    }
    const long long stored = awaitStored(database, sent);
    const double wall = secondsSince(start);
    const double cpu = listener.CpuSeconds() - cpuBefore;
    const auto [rss, peak] = listener.Memory();
    std::this_thread::sleep_for(1s);
    done = true;
    sockets.clear();
    events.stop();
    reader.join();
    std::lock_guard guard(lagLock);
    std::sort(lags.begin(), lags.end());
    std::sort(settledLags.begin(), settledLags.end());
    const auto share = [](const std::vector<double>& sorted, double part) {
        return sorted.empty() ? 0.0 : sorted[static_cast<std::size_t>(part * static_cast<double>(sorted.size() - 1))];
    };
    const auto at = [&](double part) { return share(lags, part); };
    std::printf("many jobs: %d direct jobs x %d messages/s for %d s: %lld sent, %lld stored (%s)\n", jobs, rate, seconds,
                sent, stored, stored == sent ? "none lost" : "LOST SOME");
    std::printf("  %lld jobs in the history; connecting them took %.1f s\n", storedRows(database, "jobs"), connected);
    std::printf("  live event stream: %zu events, lag median %.0f ms, 99%% %.0f ms, max %.0f ms\n", lags.size(),
                at(0.5), at(0.99), at(1.0));
    std::printf("    of those sent from 5 s on: lag median %.0f ms, 99%% %.0f ms, max %.0f ms\n", share(settledLags, 0.5),
                share(settledLags, 0.99), share(settledLags, 1.0));
    std::printf("  listener: %.0f%% of one CPU, RSS %.0f MiB (peak %.0f MiB)\n", 100 * cpu / wall, rss, peak);
    if (jobs < 10000) return;
    std::printf("  lag 99%%: %.0f ms (target at most %.0f ms: %s); peak RSS %.0f MiB (target at most %.0f: %s);"
                " %s\n",
                at(0.99), lagTarget, verdict(!lags.empty() && at(0.99) <= lagTarget), peak, memoryTarget,
                verdict(peak <= memoryTarget), stored == sent ? "none lost: met" : "LOST SOME: MISSED");
}

// One job of MESSAGES messages, then its page opened in headless Chromium
// (bench/monitor_page_bench.py), timed by the page's own clock.
void bigJobPage(const std::filesystem::path& dir, long long messages) {
    const std::string database = (dir / "big.db").string();
    ListenerProcess listener(database);
    csp_TcpSocket job = connectTo(listener.port);
    sendAll(job, "big");
    std::string chunk;
    for (long long i = 0; i < messages; ++i) {
        chunk += document(static_cast<int>(i), static_cast<double>(i));
        if (chunk.size() > (1 << 20) || i + 1 == messages) sendAll(job, chunk), chunk.clear();
    }
    const long long stored = awaitStored(database, messages);
    const std::string command = "/usr/bin/python3 " IPM_PAGE_BENCH " '" + listener.pageAddress + "' 1 2>&1";
    std::string result;
    if (FILE* page = ::popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, page)) result += line;
        ::pclose(page);
    }
    job.close();
    std::printf("job of %lld messages (%lld stored), its page in headless Chromium: %s", messages, stored,
                result.empty() ? "not measured\n" : result.c_str());
    const double opened = std::atof(result.c_str());
    std::printf("  page open: %.0f ms (target at most %.0f ms: %s)\n", opened, pageTarget,
                verdict(opened > 0 && opened <= pageTarget));
}

}  // namespace

// The connections of many jobs need more descriptors than the usual soft limit.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

int main(int argc, char** argv) {
    raiseDescriptorLimit();
    const long long messages = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
    const std::string phases = argc > 4 ? argv[4] : "ingest,jobs,crowd,page";
    const auto runs = [&](const char* phase) { return phases.find(phase) != std::string::npos; };
    const auto dir = std::filesystem::temp_directory_path() / ("ipm-monitor-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    try {
        if (runs("ingest")) ingest(dir, messages);
        if (runs("jobs")) manyJobs(dir, jobs, 10, seconds);
        if (runs("crowd")) manyJobs(dir, 10000, 1, seconds);
        if (runs("page")) bigJobPage(dir, messages);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ipm_monitor_bench: %s\n", error.what());
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
