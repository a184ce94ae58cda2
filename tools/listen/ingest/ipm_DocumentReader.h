#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads a message document: a root element named after the message type
// holding one element per field, each with a "type" attribute and its value
// as text. Values come back unescaped. The type is the text between the
// root's "<" and ">", blanks included.
class ipm_DocumentReader {
public:
    struct Field {
        std::string name;
        std::string type;
        std::string value;
    };
    struct Message {
        std::string type;
        std::vector<Field> fields;
    };

    // Empty, with `error` saying why, when the document is not a well-formed
    // message of that shape.
    static std::optional<Message> Read(std::string_view document, std::string& error);

private:
    // The document as XML.
    static std::optional<Message> Parse(std::string_view document, std::string& error);
};
