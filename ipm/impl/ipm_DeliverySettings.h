#pragma once

#include <chrono>
#include <cstddef>

// How the message task paces, bounds and retries delivery. The environment
// is read once, when the transmitter is made; the rest are fixed choices.
struct ipm_DeliverySettings {
    using milliseconds = std::chrono::milliseconds;

    // IPM_SEND_INTERVAL_MS: the least time between two writes to the
    // transport. Each write carries every document waiting, so the pause
    // spaces the writes without letting a backlog grow.
    milliseconds sendInterval{50};
    // IPM_NETWORK_TIMEOUT_MS: every single wait on the network (a connect,
    // each login step, each write).
    milliseconds networkTimeout{10000};
    // IPM_MAX_BACKLOG_MB: documents waiting for the transport beyond this
    // are dropped, oldest first (never from the log).
    size_t maxBacklogBytes = size_t{64} << 20;

    // IPM_WRITE_DOCUMENTS: at most this many documents in one write (0: no
    // limit), for listeners that want one document per read.
    size_t writeDocuments = 0;
    // One write carries at most this much.
    size_t writeBytes = 256 * 1024;
    // Reconnection attempts start this far apart and double up to the cap;
    // only a connection that lasted `steadyConnection` starts them afresh.
    milliseconds firstRetry{500};
    milliseconds retryCap{30000};
    milliseconds steadyConnection{5000};
    // While a backlog of more than one write waits, the task writes back to
    // back for up to this long in each turn, at the pace the peer reads.
    milliseconds catchUpSlice{50};
    // After a stop request, how long the task goes on delivering.
    milliseconds stopDelivery{10000};

    static ipm_DeliverySettings FromEnvironment();
    // How long a stop may wait for the task in all: delivery, then a network
    // wait in progress for each step of a start.
    milliseconds StopBound() const { return stopDelivery + 3 * networkTimeout + milliseconds(2000); }
};
