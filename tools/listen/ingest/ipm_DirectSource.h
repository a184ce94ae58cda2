#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "csp/csp_TcpAcceptor.h"
#include "tools/listen/ingest/ipm_JobConnection.h"
#include "tools/listen/ingest/ipm_JobSource.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/store/ipm_Vocabulary.h"

// Jobs that connect to a TCP port, each over a connection of its own. The
// unfinished documents of all jobs together hold at most
// ipm_HeldBytesBound::defaultTotal bytes.
class ipm_DirectSource : public ipm_JobSource {
public:
    // Binds and listens; throws std::runtime_error when it cannot.
    explicit ipm_DirectSource(const ipm_ListenOptions& options);

    // "ADDR:PORT" as bound, the port resolved when 0 was asked for.
    const std::string& Address() const { return address; }

    const char* Transport() const override { return ipm_Vocabulary::direct.data(); }
    void Watch(csp_WaitSet& waits) override;
    int Timeout() override;
    void Serve(void* item, unsigned found, Events& events) override;
    void Settle(Events& events) override;
    std::string Send(Job& job, const std::string& request) override;

private:
    // A job's connection as the wait set knows it.
    struct Connection : ipm_JobConnection {
        Connection(csp_TcpSocket socket, std::string peer, ipm_DirectSource* source)
            : ipm_JobConnection(std::move(socket), std::move(peer)), key{source, this} {}
        Watched key;
        csp_WaitSet::Handle handle = 0;
    };

    bool Accepting() const;
    void AcceptJobs();
    // False when the job has gone.
    bool ServeJob(Connection& job, unsigned found, Events& sink);
    void HandlePiece(ipm_JobConnection& job, const ipm_DocumentSplitter::Piece& piece, Events& sink);
    // Waits for room to write only while there are bytes to send.
    void Rewatch(Connection& job);
    void Close(Connection& job);
    void DropHeaviest(Events& events);

    csp_TcpAcceptor acceptor;
    std::string address;
    csp_WaitSet* waits = nullptr;
    Watched acceptorKey{this, nullptr};
    csp_WaitSet::Handle acceptorHandle = 0;
    bool acceptorWatched = false;
    bool acceptorReady = false;
    std::chrono::steady_clock::time_point acceptPausedUntil{};
    std::vector<std::unique_ptr<Connection>> jobs;
    // What the jobs' unfinished documents hold together, kept as they
    // change so that a round need not sum them.
    std::size_t heldTotal = 0;
};
