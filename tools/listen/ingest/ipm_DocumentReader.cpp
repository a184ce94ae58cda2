#include "tools/listen/ingest/ipm_DocumentReader.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "foundation/xmp_XML.h"
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

// Builds the message straight from the parser's callbacks, with one parser
// per thread reset for each document: a document costs no parser and no tree
// of its own.
class FieldCollector {
public:
    FieldCollector() : parser(xmp_XML_ParserCreate(nullptr), xmp_XML_ParserFree) {
        if (!parser) throw std::bad_alloc();
        xmp_XML_SetUserData(parser.get(), this);
        xmp_XML_SetElementHandler(parser.get(), OnStart, OnEnd);
        xmp_XML_SetCharacterDataHandler(parser.get(), OnText);
    }

    std::optional<ipm_DocumentReader::Message> Read(std::string_view document, std::string& error) {
        if (document.size() > static_cast<std::size_t>(INT_MAX)) {
            error = "document too long";
            return std::nullopt;
        }
        if (!xmp_XML_ParserReset(parser.get(), nullptr)) throw std::bad_alloc();
        message = {};
        depth = 0, bytes = 0, rootText = false, nested = false, rooted = false;
        if (!xmp_XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), 1)) {
            error = xmp_XML_ErrorText(parser.get());
            return std::nullopt;
        }
        error = !rooted                                    ? "no document element"
                : bytes > ipm_DocumentSplitter::defaultMaxDocument ? "document too long"
                : rootText                                 ? "text outside a field"
                : nested                                   ? "element nested inside a field"
                                                           : "";
        if (!error.empty()) return std::nullopt;
        return std::move(message);
    }

private:
    static void OnStart(void* self, const char* name, const char** attributes) {
        auto& reader = *static_cast<FieldCollector*>(self);
        const std::size_t length = std::strlen(name);
        reader.bytes += length;
        for (const char** pair = attributes; *pair; ++pair) reader.bytes += std::strlen(*pair);
        switch (++reader.depth) {
            case 1:
                reader.rooted = true;
                reader.message.type.assign(name, length);
                return;
            case 2: {
                auto& field = reader.message.fields.emplace_back();
                field.name.assign(name, length);
                for (const char** pair = attributes; *pair; pair += 2)
                    if (std::strcmp(pair[0], "type") == 0) field.type = pair[1];
                return;
            }
            default: reader.nested = true;
        }
    }
    static void OnEnd(void* self, const char*) { --static_cast<FieldCollector*>(self)->depth; }
    static void OnText(void* self, const char* text, int length) {
        auto& reader = *static_cast<FieldCollector*>(self);
        const std::string_view piece(text, static_cast<std::size_t>(length));
        reader.bytes += piece.size();
        if (reader.depth == 1 && !isBlank(piece)) reader.rootText = true;
        if (reader.depth == 2) reader.message.fields.back().value += piece;
    }

    std::unique_ptr<XML_ParserStruct, void (*)(xmp_XML_Parser)> parser;
    ipm_DocumentReader::Message message;
    int depth = 0;
    std::size_t bytes = 0;
    bool rootText = false, nested = false, rooted = false;
};

std::optional<ipm_DocumentReader::Message> parsed(std::string_view document, std::string& error) {
    thread_local FieldCollector reader;
    return reader.Read(document, error);
}

}  // namespace

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::Read(std::string_view document, std::string& error) {
    const auto message = typeAndFields(document);
    if (!message) return parsed(document, error);
    thread_local std::string wrapped;
    wrapped.assign("<m>").append(message->second).append("</m>");
    auto read = parsed(wrapped, error);
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
