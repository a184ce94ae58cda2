#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/listen/ingest/ipm_DocumentReader.h"

// One message of a job as the monitor keeps it: its fields as JSON text,
// written once and never parsed again on the way to the history or the
// event stream. A record taken in as read is encoded when first needed: by
// the history's writer, off the thread that reads the documents, unless the
// live stream wants it at once.
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

    // The message as read, until Encode has turned it into the above.
    ipm_DocumentReader::Message read;
    bool encoded = true;

    static ipm_MessageRecord From(const ipm_DocumentReader::Message& message);
    // Keeps a copy of `message` to be encoded later; this record's strings
    // keep their room.
    void Take(const ipm_DocumentReader::Message& message);
    // Fills `fields`, `types` and `numbers` from what Take kept, once.
    void Encode();
    // Asks for the record's own lines, or, once they have come, for its
    // fields and numbers: a thread that fills records on one core and
    // another that encodes them on the other, prefetching a few records
    // ahead in both ways, waits for memory far less.
    void PrefetchRecord() const;
    void PrefetchContent() const;
    // {"id":ID,"time":..,"type":..,"fields":{..}}
    std::string ToJson(std::int64_t id) const;

    // Appends `text` as a JSON string; bytes that are not UTF-8 become U+FFFD.
    static void AppendJsonString(std::string& out, std::string_view text);
};
