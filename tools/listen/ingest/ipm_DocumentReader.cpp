#include "tools/listen/ingest/ipm_DocumentReader.h"

#include <utility>

#include "jcl/jcl_Node.h"
#include "tools/listen/ingest/ipm_DocumentSplitter.h"

namespace {

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// The fields of a document laid out as a message, "<TYPE>FIELDS</TYPE>\n", and
// its type; none for any other document. A type may hold blanks, which no XML
// name can, so the fields are parsed on their own.
std::optional<std::pair<std::string_view, std::string_view>> typeAndFields(std::string_view document) {
    const auto type = ipm_DocumentSplitter::TypeOf(document);
    if (!type || type->empty()) return std::nullopt;
    if (document.ends_with('\n')) document.remove_suffix(1);
    const std::string endTag = "</" + std::string(*type) + ">";
    const std::size_t fieldsStart = type->size() + 2;
    if (document.size() < fieldsStart + endTag.size() || !document.ends_with(endTag)) return std::nullopt;
    return std::pair{*type, document.substr(fieldsStart, document.size() - fieldsStart - endTag.size())};
}

std::optional<ipm_DocumentReader::Message> parsed(std::string_view document, std::string& error) {
    const std::optional<jcl_Node> root = jcl_Node::Parse(document, error);
    if (!root) return std::nullopt;
    return ipm_DocumentReader::Read(*root, error);
}

}  // namespace

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::Read(std::string_view document, std::string& error) {
    const auto message = typeAndFields(document);
    if (!message) return parsed(document, error);
    auto read = parsed("<m>" + std::string(message->second) + "</m>", error);
    if (read) read->type = message->first;
    return read;
}

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::Read(const jcl_Node& document, std::string& error) {
    if (!isBlank(document.text.view())) {
        error = "text outside a field";
        return std::nullopt;
    }
    Message message{std::string(document.tagName.view()), {}};
    for (const jcl_Node& field : document.children) {
        if (field.children.Count() > 0) {
            error = "element nested inside a field";
            return std::nullopt;
        }
        message.fields.push_back({std::string(field.tagName.view()), field.Attribute("type"),
                                  std::string(field.text.view())});
    }
    return message;
}

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::ReadInside(const jcl_Node& container,
                                                                          std::string& error) {
    if (container.children.Count() != 1 || !isBlank(container.text.view())) {
        error = "not one message document";
        return std::nullopt;
    }
    return Read(container.children[0], error);
}
