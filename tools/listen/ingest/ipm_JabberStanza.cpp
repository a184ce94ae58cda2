#include "tools/listen/ingest/ipm_JabberStanza.h"

#include "foundation/cow_ConstMapIterator.h"
#include "jcl/jcl_Node.h"
#include "tools/listen/ingest/ipm_XmlEscape.h"

namespace {

std::string text(const cow_String& value) { return std::string(value.view()); }

std::string attributeOf(const jcl_Node& node, const char* key) {
    const cow_String name(key);
    return node.attributes.IsMember(name) ? text(node.attributes.ConstGet(name)) : std::string();
}

std::string written(const jcl_Node& node);

// The tree keeps no finer order than this: children, then the node's own
// text. A document's values sit in leaf elements, and the whitespace between
// its elements, ending with its final line feed, goes to the end.
std::string content(const jcl_Node& node) {
    std::string xml;
    for (int i = 0; i < node.children.Count(); ++i) xml += written(node.children[i]);
    xml += ipm_XmlEscape::Text(node.text.view());
    return xml;
}

// Appended piece by piece: GCC 12 at -O3 warns falsely of overlapping copies
// in chained concatenations of temporaries.
std::string written(const jcl_Node& node) {
    const std::string name = text(node.tagName);
    std::string xml(1, '<');
    xml += name;
    for (cow_ConstMapIterator<cow_String, cow_String> at(node.attributes); !at.IsDone(); at.Next()) {
        xml += ' ';
        xml += text(at.Key());
        xml += "=\"";
        xml += ipm_XmlEscape::Attribute(at.Value().view());
        xml += '"';
    }
    xml += '>';
    xml += content(node);
    xml += "</";
    xml += name;
    xml += '>';
    return xml;
}

std::string conditionOf(const jcl_Node& error) {
    for (int i = 0; i < error.children.Count(); ++i) {
        if (error.children[i].tagName != "text") return text(error.children[i].tagName);
    }
    return attributeOf(error, "code");
}

}  // namespace

ipm_JabberStanza ipm_JabberStanza::From(const jcl_Node& node) {
    ipm_JabberStanza stanza;
    stanza.name = text(node.tagName);
    for (cow_ConstMapIterator<cow_String, cow_String> at(node.attributes); !at.IsDone(); at.Next())
        stanza.attributes.emplace_back(text(at.Key()), text(at.Value()));
    for (int i = 0; i < node.children.Count(); ++i) {
        const jcl_Node& child = node.children[i];
        const std::string space = attributeOf(child, "xmlns");
        if (i == 0) {
            stanza.child = text(child.tagName);
            stanza.childNamespace = space;
        }
        if (stanza.name == "message" && child.tagName == "x" && space == "kelvane:msg" && !stanza.report)
            stanza.report = content(child);
        if (child.tagName == "error" && stanza.errorCondition.empty()) stanza.errorCondition = conditionOf(child);
    }
    return stanza;
}

std::string ipm_JabberStanza::Attribute(std::string_view key) const {
    for (const auto& [name, value] : attributes) {
        if (name == key) return value;
    }
    return {};
}
