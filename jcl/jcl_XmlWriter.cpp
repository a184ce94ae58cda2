#include "jcl/jcl_XmlWriter.h"

#include "foundation/cow_ConstMapIterator.h"
#include "jcl/jcl_Node.h"

namespace {

std::string Escaped(std::string_view text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += quotes ? "&quot;" : "\""; break;
            default: out += c; break;
        }
    }
    return out;
}

}  // namespace

std::string jcl_XmlWriter::Text(std::string_view text) { return Escaped(text, false); }

std::string jcl_XmlWriter::Attribute(std::string_view value) { return Escaped(value, true); }

// Appended piece by piece: GCC 12 at -O3 warns falsely of overlapping copies
// in chained concatenations of temporaries.
void jcl_XmlWriter::AppendAttribute(std::string& xml, std::string_view name, std::string_view value) {
    xml += ' ';
    xml += name;
    xml += "=\"";
    xml += Attribute(value);
    xml += '"';
}

std::string jcl_XmlWriter::StartTag(const jcl_Node& node) {
    std::string xml(1, '<');
    xml += node.tagName.view();
    for (cow_ConstMapIterator<cow_String, cow_String> at(node.attributes); !at.IsDone(); at.Next())
        AppendAttribute(xml, at.Key().view(), at.Value().view());
    xml += '>';
    return xml;
}

std::string jcl_XmlWriter::Element(const jcl_Node& node) {
    std::string xml = StartTag(node);
    xml += Content(node);
    xml += "</";
    xml += node.tagName.view();
    xml += '>';
    return xml;
}

std::string jcl_XmlWriter::Content(const jcl_Node& node) {
    std::string xml;
    for (const jcl_Node& child : node.children) xml += Element(child);
    xml += Text(node.text.view());
    return xml;
}
