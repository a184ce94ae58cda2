#pragma once

#include <memory>
#include <string>

#include "tools/listen/ingest/ipm_MonitorLink.h"
#include "tools/listen/ingest/ipm_RequestBook.h"
#include "tools/listen/ipm_ListenOptions.h"

// The monitor's parts of one listener run, made from its options: the
// history, the monitor, its page's server and the alerts, none when the
// options ask for none. A build without the monitor (terminal/) refuses the
// options that need it.
class ipm_MonitorParts {
public:
    // The history and the monitor, before the loop that reports to them.
    // Throws std::exception when they cannot be had.
    ipm_MonitorParts(const ipm_ListenOptions& options, ipm_RequestBook& requests);
    // The jobs still followed are then unreachable; a history file this run
    // created goes again unless Started() was reached.
    ~ipm_MonitorParts();
    ipm_MonitorParts(const ipm_MonitorParts&) = delete;
    ipm_MonitorParts& operator=(const ipm_MonitorParts&) = delete;

    // Null without a monitor.
    ipm_MonitorLink* Link() const;
    // The page's server and the alerts, once the job sources are open.
    void Serve();
    // The page's address, empty without one.
    std::string PageAddress() const;
    // The run has got going: keeps the history file and says where it is.
    void Started();

    // Loads a job's log into the history (--import): the line that says
    // what was imported.
    static std::string Import(const ipm_ListenOptions& options);

private:
    struct Parts;
    std::unique_ptr<Parts> parts;
};
