#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class jcl_Node;

// Reads a message document: a root element named after the message type
// holding one element per field, each with a "type" attribute and its value
// as text. Values come back unescaped.
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

    // A document as a job wrote it. The type is the text between the root's
    // "<" and ">", blanks included. Empty, with `error` saying why, when the
    // document is not a well-formed message of that shape.
    static std::optional<Message> Read(std::string_view document, std::string& error);
    // The same into `message`, whose strings are reused: for a stream of
    // documents, read one after another without an allocation of their own.
    // False, with `error`, when the document is refused.
    static bool Read(std::string_view document, Message& message, std::string& error);
    // The same for a document already parsed: its root element.
    static std::optional<Message> Read(const jcl_Node& document, std::string& error);
    // The one document element inside `container`, blanks around it allowed.
    static std::optional<Message> ReadInside(const jcl_Node& container, std::string& error);
};
