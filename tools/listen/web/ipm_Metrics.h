#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The monitor's figures in the text format that metrics scrapers read: jobs
// by state, per job (labelled id, name, host, transport) its counts, latest
// step, increment and time and the seconds since its last message, and the
// listener's own counters.
class ipm_Metrics {
public:
    struct Counter {
        std::string name;
        std::string help;
        std::int64_t value = 0;
    };

    // `jobs` as ipm_Monitor::Jobs() gives them; `now` in milliseconds since
    // the epoch.
    static std::string Render(const nlohmann::ordered_json& jobs, const std::vector<Counter>& listener,
                              std::int64_t now);
};
