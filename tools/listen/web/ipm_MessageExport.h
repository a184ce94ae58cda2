#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/listen/store/ipm_History.h"

// A job's messages as a download, written a page at a time so that a job of
// any size streams in bounded memory: CSV with the columns id, time, type
// and one per field (in order of first use), or a JSON array of the messages
// as the API gives them.
class ipm_MessageExport {
public:
    enum class Format { csv, json };

    static constexpr int pageSize = 2000;

    ipm_MessageExport(ipm_History& history, std::int64_t job, Format format);

    // Appends the next part; false once everything has been written.
    bool Next(std::string& out);

private:
    void AppendCsvRow(std::string& out, const nlohmann::ordered_json& message) const;

    ipm_History& history;
    const std::int64_t job;
    const Format format;
    std::vector<std::string> fieldNames;
    std::int64_t after = 0;
    bool started = false;
    bool finished = false;
};
