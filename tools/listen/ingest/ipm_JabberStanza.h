#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class jcl_Node;

// What the listener acts on in one stanza from the server.
struct ipm_JabberStanza {
    // Takes the stanza apart as the library's connection built it.
    static ipm_JabberStanza From(const jcl_Node& node);

    // Empty when the stanza lacks it.
    std::string Attribute(std::string_view key) const;

    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    // The first child element's name and "xmlns" attribute.
    std::string child;
    std::string childNamespace;
    // A message's report: the content of its first "x" element in the
    // "kelvane:msg" namespace, written back as XML ("&", "<" and ">" escaped,
    // and '"' in attribute values). The server may quote and escape
    // differently from the job, so this is the job's document again only as
    // far as the job escaped the same way.
    std::optional<std::string> report;
    // Of an error stanza: the condition's element name, else the error's "code".
    std::string errorCondition;
};
