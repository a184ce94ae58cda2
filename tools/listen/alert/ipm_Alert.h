#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// One alert: a rule that fired for a job.
struct ipm_Alert {
    std::int64_t id = 0;
    std::int64_t job = 0;
    std::string jobName;
    std::string host;
    std::string rule;
    // What was seen: the state, or the field and its value.
    std::string detail;
    // Milliseconds since the epoch.
    std::int64_t time = 0;

    nlohmann::ordered_json ToJson() const;
    // One readable line for a chat message: job, host, rule, what was seen,
    // and `pageAddress` (the monitor's address, or empty) leading to the job.
    std::string Line(const std::string& pageAddress) const;
};
