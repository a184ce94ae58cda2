#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/ipm_MessagePrinter.h"
#include "tools/listen/ingest/ipm_MonitorLink.h"
#include "tools/listen/ingest/ipm_RequestBook.h"

class jcl_Node;

// Where the documents of jobs go, whatever their transport: a line on
// standard output each, and the monitor when there is one. Each document is
// read once.
class ipm_ReportSink {
public:
    // `requests` (may be null) is told of every document.
    ipm_ReportSink(ipm_MessagePrinter::Mode mode, ipm_MonitorLink* monitor, ipm_RequestBook* requests = nullptr);

    // `job` is the name printed, `id` the monitor's number for the job,
    // `jobText` how reports on standard error name it and `transport` what
    // it came through.
    void Take(std::string_view job, std::int64_t id, const std::string& document, const std::string& jobText,
              std::string_view transport = {}) const;
    // The same for a document read already.
    void Take(std::string_view job, std::int64_t id, std::string_view document,
              const ipm_DocumentReader::Message& message, const std::string& jobText,
              std::string_view transport = {}) const;
    // The same for a report's extension element as the connection parsed it.
    void Take(std::string_view job, std::int64_t id, const jcl_Node& report, const std::string& jobText,
              std::string_view transport = {}) const;

    // Null without a monitor.
    ipm_MonitorLink* Monitor() const { return monitor; }

private:
    // `message` is null when the document was not read or was refused.
    void Deliver(std::string_view job, std::int64_t id, std::string_view document,
                 const ipm_DocumentReader::Message* message, const std::string& error,
                 const std::string& jobText, std::string_view transport) const;

    ipm_MessagePrinter printer;
    ipm_MonitorLink* monitor;
    ipm_RequestBook* requests;
};
