#pragma once

#include <string>
#include <string_view>

#include "tools/listen/ingest/ipm_DocumentReader.h"

// Turns the documents of a job into the lines the listener prints; one
// message is always one line, whatever its values hold.
//  text: job, message type, then name=value per field, values unescaped;
//        a token that is empty or holds a blank, a control byte, '"' or '\'
//        is set in double quotes with C-style escapes. A document that does
//        not read as a message is printed after the job as received.
//  raw:  the job, a blank and the document as received.
//  json: {"job":..,"type":..,"fields":[{"name":..,"type":..,"value":..}]},
//        integer and real values as JSON numbers (a real that is not finite
//        as "nan", "inf" or "-inf"); {"job":..,"raw":..} for a document that
//        does not read.
// "As received" has its control bytes escaped as in quoted tokens (\n, \r,
// \t, \xHH) but its final line feed. Every line ends with a line feed.
//  none: nothing, for messages that only go to the history (an import).
class ipm_MessagePrinter {
public:
    enum class Mode { text, raw, json, none };

    struct Output {
        std::string line;
        // Why the document was printed as received; empty when it read.
        std::string warning;
    };

    explicit ipm_MessagePrinter(Mode mode);

    Output Render(std::string_view job, std::string_view document) const;
    // The same for a document already read: `message` is null when it did
    // not read, for the reason `error`.
    Output Render(std::string_view job, std::string_view document, const ipm_DocumentReader::Message* message,
                  std::string_view error) const;
    bool NeedsMessage() const { return mode != Mode::raw; }

    // One token of the text form, quoted when it needs to be.
    static std::string Token(std::string_view text);
    // "job NAME": how reports on standard error name a job.
    static std::string JobText(std::string_view name);

private:
    Mode mode;
};
