#include "tools/listen/ingest/ipm_Listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "tools/listen/ipm_Console.h"
#include "tools/listen/ingest/ipm_HeldBytesBound.h"

namespace {

enum Slot : std::size_t { stopSlot, listenSlot, commandSlot, monitorSlot, firstJobSlot };
constexpr auto acceptPause = std::chrono::seconds(1);

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool isTransientAcceptError(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED || error == EPROTO;
}

// With descriptors used up, how many this process may hold.
std::string descriptorNote(int error) {
    rlimit limit{};
    if ((error != EMFILE && error != ENFILE) || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) return "";
    return " (at most " + std::to_string(limit.rlim_cur) + " open descriptors)";
}

std::string jobText(const ipm_JobConnection& job) { return "job " + ipm_MessagePrinter::Token(job.Name()); }

}  // namespace

ipm_Listener::ipm_Listener(const ipm_ListenOptions& options, ipm_Monitor* monitor, ipm_RequestBook* requests)
    : sink(options.mode, monitor, "direct", requests), monitor(monitor), requests(requests), killAfter(options.killAfter), commands(STDIN_FILENO) {
    listening = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listening < 0) fail("cannot create the listening socket");
    const int on = 1;
    ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(options.port);
    if (::inet_pton(AF_INET, options.bindAddress.c_str(), &bound.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + options.bindAddress);
    }
    if (::bind(listening, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) {
        fail("cannot bind to " + addressText(bound));
    }
    if (::listen(listening, SOMAXCONN) != 0) fail("cannot listen on " + addressText(bound));
    socklen_t length = sizeof bound;
    if (::getsockname(listening, reinterpret_cast<sockaddr*>(&bound), &length) != 0) fail("cannot read the bound port");
    address = addressText(bound);
}

ipm_Listener::~ipm_Listener() {
    jobs.clear();
    if (listening >= 0) ::close(listening);
}

void ipm_Listener::Run() {
    for (;;) {
        const bool accepting = std::chrono::steady_clock::now() >= acceptPausedUntil;
        ipm_Console::Flush();
        std::vector<pollfd> watched = WatchList(accepting);
        if (::poll(watched.data(), watched.size(), accepting ? -1 : MillisecondsToResume()) < 0) {
            if (errno == EINTR) continue;
            fail("poll failed");
        }
        if (watched[stopSlot].revents) return;

        // Jobs gone in this round leave before the commands of the round are
        // served, so that no Kill goes to an ended connection.
        const std::vector<std::string> gone = ServeJobs(watched);
        if (watched[commandSlot].revents) {
            for (const auto& command : commands.Read()) Obey(command, gone);
        }
        if (watched[monitorSlot].revents) ServeStopRequests();
        DropHeaviest();
        if (watched[listenSlot].revents) AcceptJobs();
    }
}

std::vector<pollfd> ipm_Listener::WatchList(bool accepting) const {
    std::vector<pollfd> watched(firstJobSlot, pollfd{-1, 0, 0});
    watched[stopSlot] = {stop.Descriptor(), POLLIN, 0};
    if (accepting) watched[listenSlot] = {listening, POLLIN, 0};
    watched[commandSlot] = {commands.Descriptor(), POLLIN, 0};
    if (monitor) watched[monitorSlot] = {monitor->StopsFor("direct").Descriptor(), POLLIN, 0};
    for (const auto& job : jobs) {
        watched.push_back({job->Descriptor(), static_cast<short>(POLLIN | (job->HasOutgoing() ? POLLOUT : 0)), 0});
    }
    return watched;
}

int ipm_Listener::MillisecondsToResume() const {
    const auto left = acceptPausedUntil - std::chrono::steady_clock::now();
    return static_cast<int>(std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

void ipm_Listener::AcceptJobs() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int descriptor =
            ::accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            jobs.push_back(std::make_unique<ipm_JobConnection>(descriptor, addressText(peer)));
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (isTransientAcceptError(errno)) continue;
        // Out of descriptors or memory: the pending connection stays readable,
        // so wait a moment instead of spinning on it.
        ipm_Console::Report(std::string("warning: cannot take another job: ") + std::strerror(errno) + descriptorNote(errno) +
                            "; trying again in a second");
        acceptPausedUntil = std::chrono::steady_clock::now() + acceptPause;
        return;
    }
}

std::vector<std::string> ipm_Listener::ServeJobs(const std::vector<pollfd>& watched) {
    std::vector<std::string> gone;
    const std::size_t polled = watched.size() - firstJobSlot;
    std::vector<bool> open(polled);
    for (std::size_t i = 0; i < polled; ++i) open[i] = ServeJob(*jobs[i], watched[firstJobSlot + i].revents);
    for (std::size_t i = polled; i-- > 0;) {
        if (open[i]) continue;
        gone.push_back(jobs[i]->Name());
        jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return gone;
}

void ipm_Listener::Kill(std::string_view name, const std::vector<std::string>& gone) {
    bool found = false;
    for (const auto& job : jobs) {
        if (job->Name() != name) continue;
        found = true;
        QueueKill(*job);
    }
    if (found) return;
    const bool justGone = std::find(gone.begin(), gone.end(), name) != gone.end();
    ipm_Console::Report((justGone ? "Kill not sent: job " + ipm_MessagePrinter::Token(name) + " has gone"
                                  : "no job named " + ipm_MessagePrinter::Token(name)));
}

std::string ipm_Listener::QueueKill(ipm_JobConnection& job) {
    job.QueueKill();
    ipm_Console::Report("sending Kill to " + jobText(job));
    if (!Flush(job)) return "failed: the job's connection broke";
    if (monitor) monitor->StopDone(job.MonitorId(), "sent");
    return "sent";
}

bool ipm_Listener::Flush(ipm_JobConnection& job) {
    std::string why;
    if (job.Flush(why)) return true;
    ipm_Console::Report("warning: cannot send Kill to " + jobText(job) + ": " + why);
    if (monitor) monitor->StopDone(job.MonitorId(), "failed: " + why);
    return false;
}

void ipm_Listener::ServeStopRequests() {
    for (auto& request : monitor->StopsFor("direct").Take()) {
        if (request.request) {
            request.outcome.set_value(ServeRequest(request.job, *request.request));
            continue;
        }
        const auto job = std::find_if(jobs.begin(), jobs.end(),
                                      [&](const auto& connection) { return connection->MonitorId() == request.job; });
        request.outcome.set_value(job == jobs.end() ? "failed: the job is no longer connected" : QueueKill(**job));
    }
}

void ipm_Listener::Obey(const ipm_CommandInput::Command& command, const std::vector<std::string>& gone) {
    if (command.verb == "kill") {
        Kill(command.job, gone);
    } else {
        SendRequest(command);
    }
}

void ipm_Listener::SendRequest(const ipm_CommandInput::Command& command) {
    const auto job = std::find_if(jobs.begin(), jobs.end(),
                                  [&](const auto& connection) { return connection->Name() == command.job; });
    const bool connected = job != jobs.end();
    if (!requests || (!connected && !requests->Offers("direct", command.job))) {
        ipm_Console::Report("no job named " + ipm_MessagePrinter::Token(command.job));
        return;
    }
    std::string why;
    const auto request = requests->Create("direct", command.job, connected ? (*job)->MonitorId() : 0, command.name,
                                          command.value, why);
    if (!request) {
        ipm_Console::Report("request not sent: " + why);
        return;
    }
    if (connected) {
        QueueRequest(**job, *request);
        return;
    }
    requests->Park(*request);
    ipm_Console::Report("job " + ipm_MessagePrinter::Token(command.job) + " is not connected: request " +
                        std::to_string(request->id) + " waits for it to connect again");
}

std::string ipm_Listener::QueueRequest(ipm_JobConnection& job, const ipm_Request& request) {
    job.QueueRequest(request);
    ipm_Console::Report("sending request " + std::to_string(request.id) + " " + request.name + " to " + jobText(job));
    requests->Delivered(request.id);
    if (!Flush(job)) return "failed: the job's connection broke";
    return "sent";
}

std::string ipm_Listener::ServeRequest(std::int64_t monitorId, const ipm_Request& request) {
    const auto job = std::find_if(jobs.begin(), jobs.end(),
                                  [&](const auto& connection) { return connection->MonitorId() == monitorId; });
    if (job != jobs.end()) return QueueRequest(**job, request);
    requests->Park(request);
    return "waiting";
}

void ipm_Listener::DeliverParked(ipm_JobConnection& job) {
    if (!requests) return;
    for (const ipm_Request& request : requests->TakeParked("direct", job.Name())) QueueRequest(job, request);
}

void ipm_Listener::DropHeaviest() {
    std::vector<std::size_t> held;
    held.reserve(jobs.size());
    for (const auto& job : jobs) held.push_back(job->PendingBytes());
    std::vector<std::size_t> dropped = ipm_HeldBytesBound::ToDrop(held);
    std::sort(dropped.rbegin(), dropped.rend());
    for (const std::size_t index : dropped) {
        ipm_JobConnection& job = *jobs[index];
        ipm_Console::Report("warning: " + jobText(job) + " dropped: it holds " + std::to_string(held[index]) +
                            " bytes of an unfinished document and all jobs together more than " +
                            std::to_string(ipm_HeldBytesBound::defaultTotal));
        Ended(job, false);
        jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

void ipm_Listener::Ended(const ipm_JobConnection& job, bool orderly) {
    if (monitor) monitor->JobEnded(job.MonitorId(), orderly);
}

bool ipm_Listener::ServeJob(ipm_JobConnection& job, short events) {
    if (events & POLLOUT) Flush(job);
    if (!(events & (POLLIN | POLLHUP | POLLERR))) return true;
    std::vector<ipm_DocumentSplitter::Piece> pieces;
    std::string why;
    const bool open = job.Receive(pieces, why);
    for (const auto& piece : pieces) HandlePiece(job, piece);
    if (open) return true;
    ipm_Console::Report(jobText(job) + " disconnected" + (why.empty() ? "" : ": " + why));
    Ended(job, why.empty());
    return false;
}

void ipm_Listener::HandlePiece(ipm_JobConnection& job, const ipm_DocumentSplitter::Piece& piece) {
    switch (piece.kind) {
        case ipm_DocumentSplitter::Piece::Kind::jobName:
            ipm_Console::Report(jobText(job) + " connected from " + job.Peer());
            if (monitor) job.SetMonitorId(monitor->JobConnected("direct", job.Name(), job.Peer()));
            DeliverParked(job);
            return;
        case ipm_DocumentSplitter::Piece::Kind::warning:
            ipm_Console::Report("warning: " + jobText(job) + ": " + piece.text);
            return;
        case ipm_DocumentSplitter::Piece::Kind::document:
            sink.Take(job.Name(), job.MonitorId(), piece.text, jobText(job));
            if (job.CountMessage() == killAfter) QueueKill(job);
            return;
    }
}

