#include "tools/listen/ingest/ipm_JabberStanza.h"

#include "jcl/jcl_ErrorCondition.h"
#include "jcl/jcl_Message.h"

ipm_JabberStanza ipm_JabberStanza::From(const jcl_Node& node) {
    ipm_JabberStanza stanza;
    stanza.name = std::string(node.tagName.view());
    stanza.node = node;
    for (const jcl_Node& child : node.children) {
        const bool reportElement = child.tagName == "x" && child.Attribute("xmlns") == jcl_Message::reportNamespace;
        if (stanza.name == "message" && reportElement && !stanza.report) stanza.report = child;
        if (child.tagName == "error" && stanza.errorCondition.empty())
            stanza.errorCondition = jcl_ErrorCondition::Of(child);
    }
    return stanza;
}

std::string ipm_JabberStanza::Attribute(std::string_view key) const { return node.Attribute(key); }
