#include "tools/listen/ingest/ipm_DocumentReader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
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

// A type the parser reads as the root's own name, so that the document can
// be parsed as it came: ASCII letters, digits and "_-.:" only.
bool plainName(std::string_view type) {
    const auto nameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '.' || c == ':';
    };
    const char first = type.empty() ? '0' : type.front();
    return ((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') || first == '_') &&
           std::all_of(type.begin(), type.end(), nameChar);
}

// Builds the message straight from the parser's callbacks into the caller's
// message, whose strings keep their room from one document to the next.
//
// The usual document, of a plain type, goes to a parser kept open inside an
// outer element of its own, so that a stream of documents costs neither a
// parser nor a reset each. Any other document, and any the open parser does
// not take as exactly one element, is parsed again on its own (reset first),
// which tells precisely why it is refused. The open parser starts afresh
// after a refusal and now and then, since the names it has met stay in its
// tables.
class FieldCollector {
public:
    FieldCollector() : parser(Create()), stream(Create()) { OpenStream(); }

    bool Read(std::string_view document, ipm_DocumentReader::Message& into, std::string& error) {
        if (document.size() > static_cast<std::size_t>(INT_MAX)) {
            error = "document too long";
            return false;
        }
        const auto laidOut = typeAndFields(document);
        if (laidOut && plainName(laidOut->first) && ReadStreamed(document, into, error)) return true;
        if (!laidOut) return ReadAlone(document, into, error);
        thread_local std::string wrapped;
        wrapped.assign("<m>").append(laidOut->second).append("</m>");
        if (!ReadAlone(wrapped, into, error)) return false;
        into.type.assign(laidOut->first);
        return true;
    }

private:
    using Parser = std::unique_ptr<XML_ParserStruct, void (*)(xmp_XML_Parser)>;

    // Bytes the open parser takes before it starts afresh.
    static constexpr std::size_t streamRenewal = 1024 * 1024;
    // Fields, and bytes of a field's text, kept from one document to the
    // next: an unusually big document leaves no more than this behind.
    static constexpr std::size_t keptRoom = 1024;

    Parser Create() {
        Parser created(xmp_XML_ParserCreate(nullptr), xmp_XML_ParserFree);
        if (!created) throw std::bad_alloc();
        Prepare(created.get());
        return created;
    }
    void Prepare(xmp_XML_Parser into) {
        xmp_XML_SetUserData(into, this);
        xmp_XML_SetElementHandler(into, OnStart, OnEnd);
        xmp_XML_SetCharacterDataHandler(into, OnText);
    }
    void OpenStream() {
        if (!xmp_XML_ParserReset(stream.get(), nullptr)) throw std::bad_alloc();
        xmp_XML_DisableReparseDeferral(stream.get());
        streamed = 0;
        // The outer element is seen by no message: the documents' roots are
        // at level 1 inside it as alone.
        Begin(nullptr, 0);
        if (!xmp_XML_Parse(stream.get(), "<s>", 3, 0)) throw std::logic_error("stream parser refused its root");
    }

    void Begin(ipm_DocumentReader::Message* into, int level) {
        message = into;
        if (into) into->type.clear();
        used = 0, depth = level, bytes = 0, roots = 0;
        rootText = nested = false;
    }

    bool ReadStreamed(std::string_view document, ipm_DocumentReader::Message& into, std::string& error) {
        if (streamed > streamRenewal) OpenStream();
        streamed += document.size();
        Begin(&into, 0);
        const bool parsed = xmp_XML_Parse(stream.get(), document.data(), static_cast<int>(document.size()), 0);
        if (!parsed || roots != 1 || depth != 0) {
            OpenStream();
            return false;
        }
        return Finish(into, error);
    }

    bool ReadAlone(std::string_view text, ipm_DocumentReader::Message& into, std::string& error) {
        if (!xmp_XML_ParserReset(parser.get(), nullptr)) throw std::bad_alloc();
        Prepare(parser.get());
        Begin(&into, 0);
        if (!xmp_XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), 1)) {
            error = xmp_XML_ErrorText(parser.get());
            return false;
        }
        return Finish(into, error);
    }

    bool Finish(ipm_DocumentReader::Message& into, std::string& error) {
        into.fields.resize(used);
        // Room kept for the next documents stays that of usual ones.
        if (into.fields.capacity() > 2 * used + keptRoom) into.fields.shrink_to_fit();
        error = roots == 0                                        ? "no document element"
                : bytes > ipm_DocumentSplitter::defaultMaxDocument ? "document too long"
                : rootText                                        ? "text outside a field"
                : nested                                          ? "element nested inside a field"
                                                                  : "";
        return error.empty();
    }

    static void OnStart(void* self, const char* name, const char** attributes) {
        auto& reader = *static_cast<FieldCollector*>(self);
        if (!reader.message) return;
        const std::size_t length = std::strlen(name);
        reader.bytes += length;
        for (const char** pair = attributes; *pair; ++pair) reader.bytes += std::strlen(*pair);
        switch (++reader.depth) {
            case 1:
                ++reader.roots;
                reader.message->type.assign(name, length);
                return;
            case 2: {
                auto& fields = reader.message->fields;
                if (reader.used == fields.size()) fields.emplace_back();
                auto& field = fields[reader.used++];
                for (std::string* text : {&field.name, &field.type, &field.value})
                    if (text->capacity() > keptRoom) std::string().swap(*text);
                field.name.assign(name, length);
                field.type.clear();
                field.value.clear();
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
        if (reader.depth == 2) reader.message->fields[reader.used - 1].value += piece;
    }

    Parser parser, stream;
    std::size_t streamed = 0;
    ipm_DocumentReader::Message* message = nullptr;
    std::size_t used = 0;
    int depth = 0;
    std::size_t bytes = 0;
    int roots = 0;
    bool rootText = false, nested = false;
};

FieldCollector& collector() {
    thread_local FieldCollector reader;
    return reader;
}

}  // namespace

std::optional<ipm_DocumentReader::Message> ipm_DocumentReader::Read(std::string_view document, std::string& error) {
    Message message;
    if (!Read(document, message, error)) return std::nullopt;
    return message;
}

bool ipm_DocumentReader::Read(std::string_view document, Message& message, std::string& error) {
    return collector().Read(document, message, error);
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
