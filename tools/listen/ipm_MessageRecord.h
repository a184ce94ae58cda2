#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/listen/ipm_DocumentReader.h"

// One message of a job as the monitor keeps it.
struct ipm_MessageRecord {
    std::int64_t id = 0;
    std::int64_t job = 0;
    // Arrival, in milliseconds since the epoch.
    std::int64_t time = 0;
    std::string type;
    // Field name to value, typed (ipm_TypedValue), in document order.
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    // Field name to the type its document declares ("integer", "float"...).
    nlohmann::ordered_json types = nlohmann::ordered_json::object();

    static ipm_MessageRecord From(const ipm_DocumentReader::Message& message);
    // {"id":..,"time":..,"type":..,"fields":{..}}
    nlohmann::ordered_json ToJson() const;
};
