#include "tools/listen/ingest/ipm_DirectSource.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

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

void ipm_DirectSource::Watch(csp_WaitSet& waitSet) {
    waits = &waitSet;
    acceptorHandle = waits->add(acceptor.getDescriptor(), csp_WaitSet::readable, &acceptorKey);
    acceptorWatched = true;
}

int ipm_DirectSource::Timeout() {
    if (Accepting()) return -1;
    const auto left = acceptPausedUntil - std::chrono::steady_clock::now();
    return static_cast<int>(std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

void ipm_DirectSource::Serve(void* item, unsigned found, Events& events) {
    if (!item) {
        acceptorReady = true;
        return;
    }
    auto& job = *static_cast<Connection*>(item);
    if (ServeJob(job, found, events)) {
        Rewatch(job);
    } else {
        Close(job);
    }
}

void ipm_DirectSource::Settle(Events& events) {
    DropHeaviest(events);
    if (std::exchange(acceptorReady, false)) AcceptJobs();
    if (!acceptorWatched && Accepting()) {
        acceptorHandle = waits->add(acceptor.getDescriptor(), csp_WaitSet::readable, &acceptorKey);
        acceptorWatched = true;
    }
}

std::string ipm_DirectSource::Send(Job& job, const std::string& request) {
    auto& connection = static_cast<Connection&>(job);
    connection.Queue(request);
    ipm_Console::Report("sending " + request + " to " + jobText(connection));
    std::string why;
    connection.Flush(why);
    Rewatch(connection);
    return why;
}

void ipm_DirectSource::Rewatch(Connection& job) {
    waits->change(job.handle, csp_WaitSet::readable | (job.HasOutgoing() ? csp_WaitSet::writable : 0u));
}

// Out of the wait set before the socket closes, so that a new socket given
// the same number is never taken for it.
void ipm_DirectSource::Close(Connection& job) {
    waits->remove(job.handle);
    heldTotal -= job.PendingBytes();
    const auto entry = std::find_if(jobs.begin(), jobs.end(), [&](const auto& known) { return known.get() == &job; });
    jobs.erase(entry);
}

void ipm_DirectSource::AcceptJobs() {
    for (;;) {
        csp_SocketAddress peer(0);
        std::string failure;
        std::optional<csp_TcpSocket> connection = acceptor.acceptConnection(peer, failure);
        if (connection) {
            auto job = std::make_unique<Connection>(std::move(*connection), peer.hostAndPort(), this);
            try {
                job->handle = waits->add(job->Descriptor(), csp_WaitSet::readable, &job->key);
            } catch (const csp_NetworkException& refused) {
                ipm_Console::Report("warning: cannot take the job from " + job->Peer() + ": " + refused.what());
                continue;
            }
            jobs.push_back(std::move(job));
            continue;
        }
        if (failure.empty()) return;
        // Out of descriptors or memory: the pending connection stays readable,
        // so wait a moment instead of spinning on it.
        ipm_Console::Report("warning: cannot take another job: " + failure + "; trying again in a second");
        acceptPausedUntil = std::chrono::steady_clock::now() + acceptPause;
        waits->remove(acceptorHandle);
        acceptorWatched = false;
        return;
    }
}

bool ipm_DirectSource::ServeJob(Connection& job, unsigned found, Events& sink) {
    if (found & csp_WaitSet::writable) {
        std::string why;
        if (!job.Flush(why)) sink.RequestFailed(job, why);
    }
    if (!(found & csp_WaitSet::readable)) return true;
    std::vector<ipm_DocumentSplitter::Piece> pieces;
    std::string why;
    heldTotal -= job.PendingBytes();
    const bool open = job.Receive(pieces, why);
    heldTotal += job.PendingBytes();
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
    if (heldTotal <= ipm_HeldBytesBound::defaultTotal) return;
    std::vector<std::size_t> held;
    held.reserve(jobs.size());
    for (const auto& job : jobs) held.push_back(job->PendingBytes());
    std::vector<std::size_t> dropped = ipm_HeldBytesBound::ToDrop(held);
    std::vector<Connection*> droppedJobs;
    for (const std::size_t index : dropped) droppedJobs.push_back(jobs[index].get());
    for (std::size_t i = 0; i < dropped.size(); ++i) {
        events.Dropped(*droppedJobs[i], "it holds " + std::to_string(held[dropped[i]]) +
                                            " bytes of an unfinished document and all jobs together more than " +
                                            std::to_string(ipm_HeldBytesBound::defaultTotal));
        Close(*droppedJobs[i]);
    }
}
