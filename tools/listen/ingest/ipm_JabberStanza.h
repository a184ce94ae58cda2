#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "jcl/jcl_Node.h"

// What the listener acts on in one stanza from the server, taken as the
// library's connection parsed it.
struct ipm_JabberStanza {
    static ipm_JabberStanza From(const jcl_Node& node);

    // Empty when the stanza lacks it.
    std::string Attribute(std::string_view key) const;

    std::string name;
    jcl_Node node;
    // A message's report: its first "x" element in the report namespace,
    // whose content is the job's document.
    std::optional<jcl_Node> report;
    // Of an error stanza: why it was refused.
    std::string errorCondition;
};
