#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct XML_ParserStruct;

// Cuts what a Jabber server sends into its top-level elements (stanzas),
// however the reads split or glue them, and keeps of each what the listener
// acts on. Feed it every read as it comes.
class ipm_StanzaReader {
public:
    struct Stanza {
        std::string name;
        std::vector<std::pair<std::string, std::string>> attributes;
        // The first child element's name and "xmlns" attribute.
        std::string child;
        std::string childNamespace;
        // A message's report: the content of its "x" element in the
        // "kelvane:msg" namespace, written back as XML (attributes in received
        // order, double quotes; "&", "<" and ">" escaped, and '"' in values).
        // The server may quote and escape differently from the job, so this is
        // the job's document again only as far as the job escaped the same way.
        std::optional<std::string> report;
        // The report was longer than the reader keeps; `report` is empty.
        bool reportTooLong = false;
        // Of an error stanza or a stream error: the condition's element name,
        // else the error's "code".
        std::string errorCondition;

        // Empty when the stanza lacks it.
        std::string Attribute(std::string_view key) const;
    };

    static constexpr std::size_t defaultMaxReport = 1024 * 1024;

    explicit ipm_StanzaReader(std::size_t maxReport = defaultMaxReport);
    ~ipm_StanzaReader();
    ipm_StanzaReader(const ipm_StanzaReader&) = delete;
    ipm_StanzaReader& operator=(const ipm_StanzaReader&) = delete;

    // The stanzas that `bytes` completed, in stream order. Throws
    // std::runtime_error, saying where, once the stream is not well-formed.
    std::vector<Stanza> Feed(std::string_view bytes);

    // The server has closed its stream.
    bool Ended() const { return ended; }

private:
    static void OnStart(void* self, const char* name, const char** attributes);
    static void OnEnd(void* self, const char* name);
    static void OnText(void* self, const char* text, int length);
    static void OnDoctype(void* self, const char*, const char*, const char*, int);

    void StartChild(std::string_view name, const char** attributes);
    void NameCondition(std::string_view name);
    void AppendToReport(std::string_view xml);

    std::unique_ptr<XML_ParserStruct, void (*)(XML_ParserStruct*)> parser;
    std::size_t maxReport;
    int depth = 0;
    bool ended = false;
    // Depth of the open report or error element; 0 when none is open.
    int reportDepth = 0;
    int errorDepth = 0;
    bool conditionNamed = false;
    Stanza building;
    std::vector<Stanza> finished;
    std::string refusal;
};
