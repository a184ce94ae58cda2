#pragma once

#include <cstddef>
#include <string>

#include "tools/listen/ipm_Monitor.h"

// Loads a job's message log (the documents back to back, as the job wrote
// them) into the monitor as one finished job of transport "file", message
// by message as if it had been received.
class ipm_LogImport {
public:
    // The job's id; `messages` counts what was loaded. Documents that do not
    // read are reported on standard error and left out. Throws
    // std::runtime_error when the file cannot be read.
    static std::int64_t Run(ipm_Monitor& monitor, const std::string& file, const std::string& name,
                            std::size_t& messages);
};
