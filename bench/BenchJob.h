#pragma once

#include <string>
#include <thread>

#include "bench/DrainingListener.h"
#include "ipm/ipm_MessageTask.h"

class ipm_MessageTransmit;
class ipm_TransmissionMechanism;

// The job the benchmark plays: the library started as a job starts it, a
// direct mechanism connected to a draining loopback listener, the message
// task on a thread of its own, the log file in a fresh temporary directory.
class BenchJob {
public:
    static constexpr const char* jobName = "bench";

    BenchJob();
    BenchJob(const BenchJob&) = delete;
    BenchJob& operator=(const BenchJob&) = delete;
    // Ends the job. The task sends one message per 60 ms, so it would take
    // hours to work off the benchmark's backlog: the listener hangs up, which
    // makes the task drop it.
    ~BenchJob();

    const std::string& Directory() const { return directory; }
    std::string File(const std::string& name) const { return directory + "/" + name; }
    std::string LogPath() const { return File(std::string(jobName) + ".ipm"); }
    static ipm_MessageTransmit& Transmitter();
    ipm_TransmissionMechanism& Mechanism() const;
    DrainingListener& Listener() { return listener; }

    // Empties the transmitter's buffer, as the task does when it takes a
    // batch, so that the benchmark's memory stays bounded.
    void DropBacklog();

private:
    std::string directory;
    DrainingListener listener;
    int modules = 0;
    ipm_MessageTask task;
    std::thread taskThread;
};
