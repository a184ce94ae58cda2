#pragma once

#include <string>
#include <string_view>

#include "foundation/ipm_export.h"

class jcl_Node;

// The one place where XML text is written from values: escapes text and
// attribute values and writes elements of a node tree.
class IPM_EXPORT jcl_XmlWriter {
public:
    // "&", "<" and ">" as entity references.
    static std::string Text(std::string_view text);
    // The same and '"', for a value set in double quotes.
    static std::string Attribute(std::string_view value);
    // Appends ` name="value"`, the value escaped.
    static void AppendAttribute(std::string& xml, std::string_view name, std::string_view value);
    // "<name a=\"value\" ...>" with the attributes in key order.
    static std::string StartTag(const jcl_Node& node);
    // The element without line feeds: start tag, children, its own text, end
    // tag. The tree keeps no finer order than children, then text.
    static std::string Element(const jcl_Node& node);
    // What Element writes between the tags.
    static std::string Content(const jcl_Node& node);
};
