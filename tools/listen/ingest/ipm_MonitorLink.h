#pragma once

#include <cstdint>
#include <string>

#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/ingest/ipm_StopQueue.h"

// What the loop tells the monitor of its jobs, and where the monitor's stop
// requests wait for the loop: all the loop needs of it, so that a listener
// built without the monitor (Windows) has the same loop.
class ipm_MonitorLink {
public:
    // A new connection of a job; its number (the job's id), or 0 when the
    // monitor cannot take it (reported).
    virtual std::int64_t JobConnected(const std::string& transport, const std::string& name,
                                      const std::string& peer) = 0;
    virtual void MessageReceived(std::int64_t job, const ipm_DocumentReader::Message& message) = 0;
    // The job's connection has ended (on Jabber: it is unavailable); what
    // it sent before tells how it ended.
    virtual void JobEnded(std::int64_t job) = 0;
    // What became of a kill request: "sent" or "failed: REASON".
    virtual void StopDone(std::int64_t job, const std::string& outcome) = 0;
    // The loop has served what one wait found: the new jobs' rows, held
    // so that a burst of jobs is written together, are written now.
    virtual void RoundServed() = 0;
    // Where the page's stop requests wait for the listener's loop.
    virtual ipm_StopQueue& Stops() = 0;

protected:
    ~ipm_MonitorLink() = default;
};
