#include "jcl/impl/jcl_StanzaParser.h"

#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace {
// Points every child at its parent's place in the finished tree; appending
// siblings may have moved nodes since they were built.
void RelinkParents(jcl_Node& node) {
    for (int i = 0; i < node.children.Count(); ++i) {
        jcl_Node& child = node.GetChild(i);
        child.parent = &node;
        RelinkParents(child);
    }
}
}  // namespace

jcl_StanzaParser::jcl_StanzaParser(int stanzaDepth, Sink sink)
    : parser(nullptr, xmp_XML_ParserFree), stanzaDepth(stanzaDepth), sink(std::move(sink)) {
    Restart();
}

void jcl_StanzaParser::Restart() {
    parser.reset(xmp_XML_ParserCreate(nullptr));
    if (!parser) throw std::bad_alloc();
    xmp_XML_SetUserData(parser.get(), this);
    xmp_XML_SetElementHandler(parser.get(), OnStartElement, OnEndElement);
    xmp_XML_SetCharacterDataHandler(parser.get(), OnCharacterData);
    xmp_XML_DisableReparseDeferral(parser.get());
    depth = 0;
    ended = false;
    current = nullptr;
}

bool jcl_StanzaParser::Feed(const char* bytes, int length) {
    const bool wellFormed = xmp_XML_Parse(parser.get(), bytes, length, 0) != 0;
    return wellFormed && !std::exchange(dropped, false);
}

bool jcl_StanzaParser::Parse(std::string_view document, std::string& error) {
    if (document.size() > static_cast<std::size_t>(INT_MAX)) {
        error = "document too long";
        return false;
    }
    if (xmp_XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), 1) == 0) {
        error = xmp_XML_ErrorText(parser.get());
        return false;
    }
    if (std::exchange(dropped, false)) {
        error = "document too long";
        return false;
    }
    return true;
}

bool jcl_StanzaParser::IsBuilt(int elementDepth) const {
    return !oversized && elementDepth >= stanzaDepth && elementDepth - stanzaDepth < jcl_Node::maxBuiltDepth;
}

void jcl_StanzaParser::Count(std::size_t bytes) {
    stanzaBytes += bytes;
    if (stanzaBytes > maxStanzaBytes) oversized = true;
}

void jcl_StanzaParser::OnStartElement(void* self, const char* name, const char** attributes) {
    jcl_StanzaParser& reader = *static_cast<jcl_StanzaParser*>(self);
    ++reader.depth;
    if (reader.depth == reader.stanzaDepth) {
        reader.oversized = false;
        reader.stanzaBytes = 0;
    }
    if (!reader.IsBuilt(reader.depth)) return;
    reader.Count(std::strlen(name));
    for (const char** pair = attributes; *pair; ++pair) reader.Count(std::strlen(*pair));
    jcl_Node element;
    element.SetTagName(name);
    element.InsertAttributeList(attributes);
    if (reader.depth == reader.stanzaDepth) {
        element.isRoot = true;
        reader.stanza = element;
        reader.current = &reader.stanza;
    } else {
        element.parent = reader.current;
        reader.current->Append(element);
        reader.current = &reader.current->GetChild(reader.current->children.Count() - 1);
    }
}

void jcl_StanzaParser::OnEndElement(void* self, const char*) {
    jcl_StanzaParser& reader = *static_cast<jcl_StanzaParser*>(self);
    const int closing = reader.depth--;
    if (closing == reader.stanzaDepth)
        reader.Finish();
    else if (reader.IsBuilt(closing))
        reader.current = reader.current->parent;
    if (closing == 1) reader.ended = true;
}

void jcl_StanzaParser::OnCharacterData(void* self, const char* text, int length) {
    jcl_StanzaParser& reader = *static_cast<jcl_StanzaParser*>(self);
    if (!reader.IsBuilt(reader.depth)) return;
    reader.Count(static_cast<std::size_t>(length));
    if (reader.IsBuilt(reader.depth)) reader.current->text.append(text, length);
}

void jcl_StanzaParser::Finish() {
    jcl_Node finished = std::exchange(stanza, jcl_Node());
    current = nullptr;
    if (oversized) {
        dropped = true;
        return;
    }
    RelinkParents(finished);
    sink(finished);
}
