#include "tools/listen/ingest/ipm_DocumentReader.h"

#include <expat.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#include "tools/listen/ingest/ipm_DocumentSplitter.h"

namespace {

struct ReadState {
    explicit ReadState(XML_Parser parser) : parser(parser) {}

    XML_Parser parser;
    ipm_DocumentReader::Message message;
    int depth = 0;
    std::string error;

    void Fail(const char* why) {
        if (error.empty()) error = why;
    }
};

const char* typeAttribute(const char** attributes) {
    for (; attributes[0]; attributes += 2) {
        if (std::strcmp(attributes[0], "type") == 0) return attributes[1];
    }
    return "";
}

void startElement(void* userData, const char* name, const char** attributes) {
    auto& state = *static_cast<ReadState*>(userData);
    if (state.depth == 0) {
        state.message.type = name;
    } else if (state.depth == 1) {
        state.message.fields.push_back({name, typeAttribute(attributes), {}});
    } else {
        state.Fail("element nested inside a field");
    }
    ++state.depth;
}

void endElement(void* userData, const char*) { --static_cast<ReadState*>(userData)->depth; }

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// Entities can only be declared inside a document type declaration; refusing
// it keeps every entity reference down to one predefined character.
void refuseDoctype(void* userData, const char*, const char*, const char*, int) {
    auto& state = *static_cast<ReadState*>(userData);
    state.Fail("document type declaration refused");
    XML_StopParser(state.parser, XML_FALSE);
}

void characterData(void* userData, const char* text, int length) {
    auto& state = *static_cast<ReadState*>(userData);
    const std::string_view piece(text, static_cast<std::size_t>(length));
    if (state.depth == 2) {
        state.message.fields.back().value.append(piece);
    } else if (state.depth == 1 && !isBlank(piece)) {
        state.Fail("text outside a field");
    }
}

using ParserHolder = std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)>;

// One secret salt for the parsers' hash tables, drawn once: a parser would
// otherwise ask the system for fresh random bytes for every document.
unsigned long hashSalt() {
    static const unsigned long salt = [] {
        std::random_device random;
        return (static_cast<unsigned long>(random()) << 32) ^ random();
    }();
    return salt;
}

std::string parseError(XML_Parser parser) {
    return std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
           std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(parser) + 1);
}

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

}  // namespace

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::Read(std::string_view document, std::string& error) {
    const auto message = typeAndFields(document);
    if (!message) return Parse(document, error);
    auto read = Parse("<m>" + std::string(message->second) + "</m>", error);
    if (read) read->type = message->first;
    return read;
}

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::Parse(std::string_view document, std::string& error) {
    if (document.size() > INT_MAX) {
        error = "document too long";
        return std::nullopt;
    }
    ParserHolder parser(XML_ParserCreate(nullptr), &XML_ParserFree);
    if (!parser) {
        error = "out of memory for the XML parser";
        return std::nullopt;
    }
    XML_SetHashSalt(parser.get(), hashSalt());
    ReadState state(parser.get());
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetUserData(parser.get(), &state);
    XML_SetStartDoctypeDeclHandler(parser.get(), &refuseDoctype);
    XML_SetElementHandler(parser.get(), &startElement, &endElement);
    XML_SetCharacterDataHandler(parser.get(), &characterData);
    const bool parsed = XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), XML_TRUE) ==
                        XML_STATUS_OK;
    if (!state.error.empty()) {
        error = state.error;
        return std::nullopt;
    }
    if (!parsed) {
        error = parseError(parser.get());
        return std::nullopt;
    }
    return state.message;
}
