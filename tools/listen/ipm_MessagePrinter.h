#pragma once

#include <string>
#include <string_view>

// Turns the documents of a job into the lines the listener prints.
//  text: job, message type, then name=value per field, values unescaped;
//        a token that is empty or holds a blank, a control byte, '"' or '\'
//        is set in double quotes with C-style escapes. A document that does
//        not read as a message is printed after the job as received.
//  raw:  the document exactly as received.
//  json: {"job":..,"type":..,"fields":[{"name":..,"type":..,"value":..}]};
//        {"job":..,"raw":..} for a document that does not read.
// Every line ends with a line feed.
class ipm_MessagePrinter {
public:
    enum class Mode { text, raw, json };

    struct Output {
        std::string line;
        // Why the document was printed as received; empty when it read.
        std::string warning;
    };

    explicit ipm_MessagePrinter(Mode mode);

    Output Render(std::string_view job, std::string_view document) const;

    // One token of the text form, quoted when it needs to be.
    static std::string Token(std::string_view text);

private:
    Mode mode;
};
