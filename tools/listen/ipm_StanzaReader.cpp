#include "tools/listen/ipm_StanzaReader.h"

#include <expat.h>

#include <climits>
#include <new>
#include <stdexcept>

#include "tools/listen/ipm_XmlEscape.h"

namespace {

constexpr int streamDepth = 1;
constexpr int stanzaDepth = 2;
constexpr int childDepth = 3;

const char* attributeOf(const char** attributes, std::string_view key) {
    for (; attributes[0]; attributes += 2) {
        if (key == attributes[0]) return attributes[1];
    }
    return "";
}

// Tags grow by appending to one string: a chain of operator+ on a short literal
// makes GCC 12 at -O3 report a false -Wrestrict overlap.
std::string startTag(std::string_view name, const char** attributes) {
    std::string tag = "<";
    tag += name;
    for (; attributes[0]; attributes += 2) {
        tag.append(" ").append(attributes[0]).append("=\"").append(ipm_XmlEscape::Attribute(attributes[1])).append("\"");
    }
    tag += '>';
    return tag;
}

std::string endTag(std::string_view name) {
    std::string tag = "</";
    tag += name;
    tag += '>';
    return tag;
}

std::string parseError(XML_Parser parser) {
    return std::string("the server's stream is not well-formed XML: ") + XML_ErrorString(XML_GetErrorCode(parser)) +
           " at line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(parser) + 1);
}

}  // namespace

std::string ipm_StanzaReader::Stanza::Attribute(std::string_view key) const {
    for (const auto& [name, value] : attributes) {
        if (name == key) return value;
    }
    return {};
}

ipm_StanzaReader::ipm_StanzaReader(std::size_t maxReport)
    : parser(XML_ParserCreate(nullptr), &XML_ParserFree), maxReport(maxReport) {
    if (!parser) throw std::bad_alloc();
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetUserData(parser.get(), this);
    XML_SetStartDoctypeDeclHandler(parser.get(), &OnDoctype);
    XML_SetElementHandler(parser.get(), &OnStart, &OnEnd);
    XML_SetCharacterDataHandler(parser.get(), &OnText);
}

ipm_StanzaReader::~ipm_StanzaReader() = default;

std::vector<ipm_StanzaReader::Stanza> ipm_StanzaReader::Feed(std::string_view bytes) {
    if (ended) return {};
    if (bytes.size() > INT_MAX) throw std::invalid_argument("ipm_StanzaReader: more than INT_MAX bytes at once");
    const XML_Status status = XML_Parse(parser.get(), bytes.data(), static_cast<int>(bytes.size()), XML_FALSE);
    if (status != XML_STATUS_OK) throw std::runtime_error(refusal.empty() ? parseError(parser.get()) : refusal);
    std::vector<Stanza> completed;
    completed.swap(finished);
    return completed;
}

void ipm_StanzaReader::OnStart(void* self, const char* name, const char** attributes) {
    auto& reader = *static_cast<ipm_StanzaReader*>(self);
    const int level = ++reader.depth;
    Stanza& stanza = reader.building;
    if (level == stanzaDepth) {
        stanza = Stanza{};
        stanza.name = name;
        for (const char** pair = attributes; pair[0]; pair += 2) stanza.attributes.emplace_back(pair[0], pair[1]);
        reader.reportDepth = reader.errorDepth = 0;
        reader.conditionNamed = false;
    } else if (reader.reportDepth) {
        reader.AppendToReport(startTag(name, attributes));
    } else if (level == childDepth) {
        reader.StartChild(name, attributes);
    } else if (reader.errorDepth && level == reader.errorDepth + 1) {
        reader.NameCondition(name);
    }
}

void ipm_StanzaReader::StartChild(std::string_view name, const char** attributes) {
    const std::string_view space = attributeOf(attributes, "xmlns");
    if (building.child.empty()) {
        building.child = name;
        building.childNamespace = space;
    }
    if (building.name == "message" && name == "x" && space == "kelvane:msg" && !building.report) {
        building.report.emplace();
        reportDepth = childDepth;
    } else if (name == "error") {
        errorDepth = childDepth;
        if (!conditionNamed) building.errorCondition = attributeOf(attributes, "code");
    } else if (building.name == "stream:error") {
        NameCondition(name);
    }
}

// The condition sits next to an optional human-readable "text".
void ipm_StanzaReader::NameCondition(std::string_view name) {
    if (conditionNamed || name == "text") return;
    building.errorCondition = name;
    conditionNamed = true;
}

void ipm_StanzaReader::OnEnd(void* self, const char* name) {
    auto& reader = *static_cast<ipm_StanzaReader*>(self);
    const int closing = reader.depth--;
    if (reader.reportDepth && closing > reader.reportDepth) {
        reader.AppendToReport(endTag(name));
    } else if (closing == reader.reportDepth) {
        reader.reportDepth = 0;
    }
    if (closing == reader.errorDepth) reader.errorDepth = 0;
    if (closing == stanzaDepth) reader.finished.push_back(std::move(reader.building));
    if (closing == streamDepth) reader.ended = true;
}

void ipm_StanzaReader::OnText(void* self, const char* text, int length) {
    auto& reader = *static_cast<ipm_StanzaReader*>(self);
    if (reader.reportDepth) {
        reader.AppendToReport(ipm_XmlEscape::Text(std::string_view(text, static_cast<std::size_t>(length))));
    }
}

// XMPP streams carry no document type declaration; refusing one also keeps
// every entity reference down to one predefined character.
void ipm_StanzaReader::OnDoctype(void* self, const char*, const char*, const char*, int) {
    auto& reader = *static_cast<ipm_StanzaReader*>(self);
    reader.refusal = "the server's stream holds a document type declaration";
    XML_StopParser(reader.parser.get(), XML_FALSE);
}

void ipm_StanzaReader::AppendToReport(std::string_view xml) {
    Stanza& stanza = building;
    if (stanza.reportTooLong) return;
    if (stanza.report->size() + xml.size() > maxReport) {
        stanza.report->clear();
        stanza.reportTooLong = true;
        return;
    }
    stanza.report->append(xml);
}
