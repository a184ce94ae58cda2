#include "tools/listen/ingest/ipm_DirectSource.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "csp/csp_NetworkException.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/ipm_MessagePrinter.h"
#include "tools/listen/ingest/ipm_HeldBytesBound.h"

namespace {

constexpr auto acceptPause = std::chrono::seconds(1);
// Thousands of jobs may start at once: a short queue of connections would
// turn some away for a second each (the system caps it at its own limit).
constexpr int connectionQueue = 4096;

csp_TcpAcceptor listenOn(const ipm_ListenOptions& options) {
    try {
        return csp_TcpAcceptor(csp_SocketAddress(csp_IpAddress(cow_String(options.bindAddress.c_str())), options.port),
                               connectionQueue);
    } catch (const csp_NetworkException& failure) {
        throw std::runtime_error(failure.what());
    }
}

std::string jobText(const ipm_JobConnection& job) { return ipm_MessagePrinter::JobText(job.name); }

}  // namespace

ipm_DirectSource::ipm_DirectSource(const ipm_ListenOptions& options)
    : acceptor(listenOn(options)), address(acceptor.localAddress().hostAndPort()) {}

bool ipm_DirectSource::Accepting() const { return std::chrono::steady_clock::now() >= acceptPausedUntil; }

void ipm_DirectSource::Watch(std::vector<pollfd>& watched) const {
    watched.push_back({Accepting() ? acceptor.getDescriptor() : -1, POLLIN, 0});
    for (const auto& job : jobs) {
        watched.push_back({job->Descriptor(), static_cast<short>(POLLIN | (job->HasOutgoing() ? POLLOUT : 0)), 0});
    }
}

int ipm_DirectSource::Timeout() {
    if (Accepting()) return -1;
    const auto left = acceptPausedUntil - std::chrono::steady_clock::now();
    return static_cast<int>(std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

void ipm_DirectSource::Serve(std::span<const pollfd> polled, Events& events) {
    const std::size_t served = polled.size() - 1;
    std::vector<bool> open(served);
    for (std::size_t i = 0; i < served; ++i) open[i] = ServeJob(*jobs[i], polled[i + 1].revents, events);
    for (std::size_t i = served; i-- > 0;) {
        if (!open[i]) jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(i));
    }
    DropHeaviest(events);
    if (polled[0].revents) AcceptJobs();
}

std::string ipm_DirectSource::Send(Job& job, const std::string& request) {
    auto& connection = static_cast<ipm_JobConnection&>(job);
    connection.Queue(request);
    ipm_Console::Report("sending " + request + " to " + jobText(connection));
    std::string why;
    connection.Flush(why);
    return why;
}

void ipm_DirectSource::AcceptJobs() {
    for (;;) {
        csp_SocketAddress peer(0);
        std::string failure;
        std::optional<csp_TcpSocket> connection = acceptor.acceptConnection(peer, failure);
        if (connection) {
            jobs.push_back(std::make_unique<ipm_JobConnection>(std::move(*connection), peer.hostAndPort()));
            continue;
        }
        if (failure.empty()) return;
        // Out of descriptors or memory: the pending connection stays readable,
        // so wait a moment instead of spinning on it.
        ipm_Console::Report("warning: cannot take another job: " + failure + "; trying again in a second");
        acceptPausedUntil = std::chrono::steady_clock::now() + acceptPause;
        return;
    }
}

bool ipm_DirectSource::ServeJob(ipm_JobConnection& job, short events, Events& sink) {
    if (events & POLLOUT) {
        std::string why;
        if (!job.Flush(why)) sink.RequestFailed(job, why);
    }
    if (!(events & (POLLIN | POLLHUP | POLLERR))) return true;
    std::vector<ipm_DocumentSplitter::Piece> pieces;
    std::string why;
    const bool open = job.Receive(pieces, why);
    for (const auto& piece : pieces) HandlePiece(job, piece, sink);
    if (!open) sink.Ended(job, why);
    return open;
}

void ipm_DirectSource::HandlePiece(ipm_JobConnection& job, const ipm_DocumentSplitter::Piece& piece, Events& sink) {
    switch (piece.kind) {
        case ipm_DocumentSplitter::Piece::Kind::jobName:
            ipm_Console::Report(jobText(job) + " connected from " + job.Peer());
            sink.Connected(*this, job, job.Peer());
            return;
        case ipm_DocumentSplitter::Piece::Kind::warning:
            ipm_Console::Report("warning: " + jobText(job) + ": " + piece.text);
            return;
        case ipm_DocumentSplitter::Piece::Kind::document:
            sink.Report(job, piece.text);
            return;
    }
}

void ipm_DirectSource::DropHeaviest(Events& events) {
    std::vector<std::size_t> held;
    held.reserve(jobs.size());
    for (const auto& job : jobs) held.push_back(job->PendingBytes());
    std::vector<std::size_t> dropped = ipm_HeldBytesBound::ToDrop(held);
    std::sort(dropped.rbegin(), dropped.rend());
    for (const std::size_t index : dropped) {
        events.Dropped(*jobs[index], "it holds " + std::to_string(held[index]) +
                                         " bytes of an unfinished document and all jobs together more than " +
                                         std::to_string(ipm_HeldBytesBound::defaultTotal));
        jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(index));
    }
}
