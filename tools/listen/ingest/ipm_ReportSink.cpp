#include "tools/listen/ingest/ipm_ReportSink.h"

#include <optional>
#include <utility>

#include "tools/listen/ipm_Console.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"

ipm_ReportSink::ipm_ReportSink(ipm_MessagePrinter::Mode mode, ipm_Monitor* monitor, std::string transport,
                               ipm_RequestBook* requests)
    : printer(mode), monitor(monitor), transport(std::move(transport)), requests(requests) {}

void ipm_ReportSink::Take(std::string_view job, std::int64_t id, const std::string& document,
                          const std::string& jobText) const {
    std::string error;
    std::optional<ipm_DocumentReader::Message> message;
    if (printer.NeedsMessage() || monitor || requests) message = ipm_DocumentReader::Read(document, error);
    const auto output = printer.Render(job, document, message ? &*message : nullptr, error);
    if (!output.warning.empty()) ipm_Console::Report("warning: " + jobText + ": " + output.warning);
    ipm_Console::Print(output.line);
    if (requests && message) requests->Observe(transport, std::string(job), id, *message);
    if (monitor && message) monitor->MessageReceived(id, *message);
}
