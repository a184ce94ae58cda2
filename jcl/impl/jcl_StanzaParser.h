#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/xmp_XML.h"
#include "jcl/jcl_Node.h"

// Cuts an endless XML document, fed in pieces however the reads split or
// glue it, into the element trees that open at `stanzaDepth` (1 = the root)
// and hands each to the sink once it has closed. Elements nested more than
// jcl_Node::maxBuiltDepth levels inside a stanza are left out of its tree; a
// stanza holding more than maxStanzaBytes of names and text is dropped.
class jcl_StanzaParser {
public:
    using Sink = std::function<void(jcl_Node& stanza)>;

    static constexpr std::size_t maxStanzaBytes = 1024 * 1024;

    // `stanzaDepth` must be at least 1.
    jcl_StanzaParser(int stanzaDepth, Sink sink);
    jcl_StanzaParser(const jcl_StanzaParser&) = delete;
    jcl_StanzaParser& operator=(const jcl_StanzaParser&) = delete;

    // False once the input is not well-formed XML or a stanza was dropped as
    // too large; the stanzas before that point have been handed on.
    bool Feed(const char* bytes, int length);
    // Feeds `document` as the whole input; false, with `error` saying why,
    // when it is not well-formed.
    bool Parse(std::string_view document, std::string& error);
    // Starts a new document, as a stream restart requires.
    void Restart();
    // The root element has closed.
    bool Ended() const { return ended; }

private:
    static void OnStartElement(void* self, const char* name, const char** attributes);
    static void OnEndElement(void* self, const char* name);
    static void OnCharacterData(void* self, const char* text, int length);
    bool IsBuilt(int elementDepth) const;
    void Count(std::size_t bytes);
    void Finish();

    std::unique_ptr<XML_ParserStruct, void (*)(xmp_XML_Parser)> parser;
    int stanzaDepth;
    Sink sink;
    int depth = 0;
    bool ended = false;
    bool dropped = false;
    bool oversized = false;
    std::size_t stanzaBytes = 0;
    jcl_Node stanza;
    jcl_Node* current = nullptr;
};
