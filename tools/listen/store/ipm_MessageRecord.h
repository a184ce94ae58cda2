#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/listen/ingest/ipm_DocumentReader.h"

// One message of a job as the monitor keeps it: its fields already JSON
// text, written once as the message arrives and never parsed again on the
// way to the history or the event stream.
struct ipm_MessageRecord {
    std::int64_t job = 0;
    // Arrival, in milliseconds since the epoch.
    std::int64_t time = 0;
    std::string type;
    // JSON object: field name to value, typed (ipm_TypedValue), in document
    // order; a name given twice keeps its first place and its last value.
    std::string fields;
    // JSON object: field name to the type its document declares.
    std::string types;
    // The fields whose values are finite numbers, as in `fields`.
    std::vector<std::pair<std::string, double>> numbers;

    static ipm_MessageRecord From(const ipm_DocumentReader::Message& message);
    // The same into this record, whose strings keep their room.
    void Fill(const ipm_DocumentReader::Message& message);
    // {"id":ID,"time":..,"type":..,"fields":{..}}
    std::string ToJson(std::int64_t id) const;

    // Appends `text` as a JSON string; bytes that are not UTF-8 become U+FFFD.
    static void AppendJsonString(std::string& out, std::string_view text);
};
