#include "tools/listen/ingest/ipm_ReportSink.h"

#include <utility>

#include "jcl/jcl_Node.h"
#include "jcl/jcl_XmlWriter.h"
#include "tools/listen/ipm_Console.h"

ipm_ReportSink::ipm_ReportSink(ipm_MessagePrinter::Mode mode, ipm_MonitorLink* monitor, ipm_RequestBook* requests)
    : printer(mode), monitor(monitor), requests(requests) {}

void ipm_ReportSink::Take(std::string_view job, std::int64_t id, const std::string& document,
                          const std::string& jobText, std::string_view transport) const {
    std::string error;
    // One message per thread, its strings reused from document to document.
    thread_local ipm_DocumentReader::Message message;
    const bool read = (printer.NeedsMessage() || monitor || requests) && ipm_DocumentReader::Read(document, message, error);
    Deliver(job, id, document, read ? &message : nullptr, error, jobText, transport);
}

void ipm_ReportSink::Take(std::string_view job, std::int64_t id, std::string_view document,
                          const ipm_DocumentReader::Message& message, const std::string& jobText,
                          std::string_view transport) const {
    Deliver(job, id, document, &message, {}, jobText, transport);
}

// The document is read as parsed; its text is written only for the forms
// that show it as received.
void ipm_ReportSink::Take(std::string_view job, std::int64_t id, const jcl_Node& report,
                          const std::string& jobText, std::string_view transport) const {
    std::string document = jcl_XmlWriter::Content(report);
    if (document.empty() || document.back() != '\n') document += '\n';
    std::string error;
    std::optional<ipm_DocumentReader::Message> message;
    if (printer.NeedsMessage() || monitor || requests) message = ipm_DocumentReader::ReadInside(report, error);
    Deliver(job, id, document, message ? &*message : nullptr, error, jobText, transport);
}

void ipm_ReportSink::Deliver(std::string_view job, std::int64_t id, std::string_view document,
                             const ipm_DocumentReader::Message* message, const std::string& error,
                             const std::string& jobText, std::string_view transport) const {
    const auto output = printer.Render(job, document, message, error);
    if (!output.warning.empty()) ipm_Console::Report("warning: " + jobText + ": " + output.warning);
    ipm_Console::Print(output.line);
    if (requests && message) requests->Observe(std::string(transport), std::string(job), id, *message);
    if (monitor && message) monitor->MessageReceived(id, *message);
}
