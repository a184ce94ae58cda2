#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "csp/csp_TcpSocket.h"
#include "tools/listen/ingest/ipm_DocumentSplitter.h"
#include "tools/listen/ingest/ipm_JobSource.h"

// One job's connection to the listener: what it sends is cut into its name
// (kept as the job's name as far as it has arrived) and documents; what it is
// sent (kill requests) waits here until the socket takes it.
class ipm_JobConnection : public ipm_JobSource::Job {
public:
    // Takes over `socket`, a connected non-blocking one.
    ipm_JobConnection(csp_TcpSocket socket, std::string peer);

    int Descriptor() const { return socket.getDescriptor(); }
    const std::string& Peer() const { return peer; }

    // Reads once. False when the job has gone; `why` is then empty for an
    // orderly close, else the error, and `pieces` ends with a warning when
    // the job went in the middle of a document.
    bool Receive(std::vector<ipm_DocumentSplitter::Piece>& pieces, std::string& why);
    // Bytes held for a document not yet complete.
    std::size_t PendingBytes() const { return splitter.PendingBytes(); }

    void Queue(const std::string& request) { outgoing += request; }
    bool HasOutgoing() const { return !outgoing.empty(); }
    // Sends what the socket takes now. False, with `why`, when the job can
    // no longer be written to; what was queued is then dropped.
    bool Flush(std::string& why);

private:
    csp_TcpSocket socket;
    std::string peer;
    ipm_DocumentSplitter splitter;
    std::string outgoing;
};
