#pragma once

#include <chrono>
#include <string>

#include "ipm/impl/ipm_DocumentQueue.h"

class ipm_MessageTransmit;
struct ipm_DeliverySettings;

// The message task's work: starts the transport, polls it so that a kill
// request is heard within a poll's wait whatever is waiting, sends what the
// job buffered (every document waiting in one write, at most one write per
// send interval, or back to back while a backlog of more than one write
// waits), and after a failure starts the transport again at growing
// intervals, afresh only after a connection that lasted. Documents wait
// meanwhile in the transmitter's buffer, bounded in bytes; the oldest go
// first when it is full, and the listener is told how many. The task's own
// backlog holds only the write in progress.
class ipm_Delivery {
public:
    explicit ipm_Delivery(ipm_MessageTransmit& transmitter);
    ipm_Delivery(const ipm_Delivery&) = delete;
    ipm_Delivery& operator=(const ipm_Delivery&) = delete;
    ~ipm_Delivery();

    // Serves until a stop request, then delivers what is left, within the
    // stop's time, without pauses.
    void Run();

private:
    using Clock = std::chrono::steady_clock;

    void ConnectWhenDue();
    bool Connect();
    void LoseConnection(const std::string& reason);
    void ScheduleRetry();
    void Poll();
    // The next write's documents into the backlog; the rest wait buffered,
    // where the bound applies.
    void TakeBuffered();
    // The writes of one turn: one, or back to back while catching up.
    void WriteDue();
    // One write of the oldest documents; false when the transport failed.
    bool Write();
    bool TellDropped();
    void Finish();

    ipm_MessageTransmit& transmitter;
    const ipm_DeliverySettings& settings;
    ipm_DocumentQueue backlog;
    long long dropped = 0;
    bool connected = false;
    bool hopeless = false;
    // The last write was about full and more waited.
    bool catchingUp = false;
    Clock::time_point connectedAt;
    Clock::time_point nextAttempt;
    Clock::duration retryInterval;
    Clock::time_point lastWrite;
};
