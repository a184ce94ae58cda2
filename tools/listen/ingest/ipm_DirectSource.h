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
    void Watch(csp_WaitSet& waits) const override;
    int Timeout() override;
    void Serve(std::span<const unsigned> found, Events& events) override;
    std::string Send(Job& job, const std::string& request) override;

private:
    bool Accepting() const;
    void AcceptJobs();
    // False when the job has gone.
    bool ServeJob(ipm_JobConnection& job, unsigned found, Events& sink);
    void HandlePiece(ipm_JobConnection& job, const ipm_DocumentSplitter::Piece& piece, Events& sink);
    void DropHeaviest(Events& events);

    csp_TcpAcceptor acceptor;
    std::string address;
    std::chrono::steady_clock::time_point acceptPausedUntil{};
    std::vector<std::unique_ptr<ipm_JobConnection>> jobs;
};
