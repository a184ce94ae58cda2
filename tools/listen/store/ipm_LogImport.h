#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/listen/store/ipm_Monitor.h"

// Loads a job's message log (the documents back to back, as the job wrote
// them) into the monitor as one finished job of transport "file", message
// by message as if it had been received.
class ipm_LogImport {
public:
    // The job's id; `messages` counts what was loaded. Documents after the
    // first that do not read are reported on standard error with the file's
    // name and line, and left out. Throws std::runtime_error, saying why and
    // importing nothing, when the file cannot be read, is not a message log
    // (its first document does not read) or was imported before.
    static std::int64_t Run(ipm_Monitor& monitor, const std::string& file, const std::string& name,
                            std::size_t& messages);
};
