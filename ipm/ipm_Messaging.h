#pragma once

#include <memory>
#include <string_view>

#include "foundation/ipm_export.h"
#include "ipm/ipm.h"

// The library wired up for a job in one object: it starts the library,
// installs the transport named "direct" or "jabber", and runs the message
// task on a thread of its own, which starts the transport in the background.
// The job's options (job, message, indir, ...) come from its command line.
// Send with ipm_sendMessage; destruction (or Stop) delivers what is still
// buffered, within a bound, and shuts everything down.
class IPM_EXPORT ipm_Messaging {
public:
    // Throws std::invalid_argument for another transport name.
    explicit ipm_Messaging(std::string_view transport = "direct");
    ~ipm_Messaging();
    ipm_Messaging(const ipm_Messaging&) = delete;
    ipm_Messaging& operator=(const ipm_Messaging&) = delete;

    // Ends the message task once it has delivered what is buffered and the
    // job's last message, "JobEnded", and stops the library. False when the task did not end within the stop's bound:
    // the log is written out and the library is left running.
    bool Stop();
    // True once the listener has asked the job to stop.
    static bool KillRequested();
    // True on the message task's own thread (in a kill handler, say).
    static bool OnMessageThread();

private:
    struct Run;
    std::unique_ptr<Run> run;
};
