#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ipm/ipm_Request.h"
#include "tools/listen/ingest/ipm_DocumentSplitter.h"

// One job's connection to the listener: what it sends is cut into its name
// and documents; what it is sent (Kill, requests) waits here until the socket
// takes it.
class ipm_JobConnection {
public:
    // Takes over `descriptor`, a connected non-blocking socket.
    ipm_JobConnection(int descriptor, std::string peer);
    ~ipm_JobConnection();
    ipm_JobConnection(const ipm_JobConnection&) = delete;
    ipm_JobConnection& operator=(const ipm_JobConnection&) = delete;

    int Descriptor() const { return descriptor; }
    const std::string& Peer() const { return peer; }
    // The job's name as far as it has arrived.
    const std::string& Name() const { return splitter.JobName(); }

    // Reads once. False when the job has gone; `why` is then empty for an
    // orderly close, else the error, and `pieces` ends with a warning when
    // the job went in the middle of a document.
    bool Receive(std::vector<ipm_DocumentSplitter::Piece>& pieces, std::string& why);
    // Bytes held for a document not yet complete.
    std::size_t PendingBytes() const { return splitter.PendingBytes(); }
    // The monitor's number for this job; 0 while it has none.
    std::int64_t MonitorId() const { return monitorId; }
    void SetMonitorId(std::int64_t id) { monitorId = id; }

    // Counts one more message and returns the count.
    std::size_t CountMessage() { return ++messages; }

    void QueueKill();
    void QueueRequest(const ipm_Request& request);
    bool HasOutgoing() const { return !outgoing.empty(); }
    // Sends what the socket takes now. False, with `why`, when the job can
    // no longer be written to; what was queued is then dropped.
    bool Flush(std::string& why);

private:
    int descriptor;
    std::string peer;
    ipm_DocumentSplitter splitter;
    std::size_t messages = 0;
    std::int64_t monitorId = 0;
    std::string outgoing;
};
