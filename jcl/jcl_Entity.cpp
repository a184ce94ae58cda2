#include "jcl/jcl_Entity.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "jcl/jcl_Node.h"
#include "jcl/jcl_XmlWriter.h"

namespace {
void AppendAttribute(cow_String& xml, const char* name, const cow_String& value) {
    if (value.isEmpty()) return;
    std::string attribute;
    jcl_XmlWriter::AppendAttribute(attribute, name, value.view());
    xml.append(attribute);
}

void CopyAttribute(const jcl_Node& node, const char* name, cow_String& field) {
    if (node.attributes.IsMember(name)) field = node.attributes.ConstGet(name);
}
}  // namespace

void jcl_Entity::SerializeAttributes(cow_String& xml) const {
    AppendAttribute(xml, "to", to);
    AppendAttribute(xml, "from", from);
    AppendAttribute(xml, "type", type);
    AppendAttribute(xml, "id", id);
}

void jcl_Entity::ReadAddressing(const jcl_Node& node) {
    CopyAttribute(node, "to", to);
    CopyAttribute(node, "from", from);
    CopyAttribute(node, "id", id);
    CopyAttribute(node, "type", type);
}

void jcl_Entity::AppendElement(cow_String& xml, const char* tag, const cow_String& value) {
    if (value.isEmpty()) return;
    xml += '<';
    xml.append(tag);
    xml += '>';
    xml.append(jcl_XmlWriter::Text(value.view()));
    xml.append("</");
    xml.append(tag);
    xml += '>';
}

void jcl_Entity::AppendError(cow_String& xml, const cow_String& error, int code) {
    if (error.isEmpty()) return;
    xml.append("<error code=\"");
    xml += cow_String(code);
    xml.append("\">");
    xml.append(jcl_XmlWriter::Text(error.view()));
    xml.append("</error>");
}

cow_String jcl_Entity::AttributeOf(const jcl_Node& node, const char* name) {
    return cow_String(node.Attribute(name));
}

int jcl_Entity::LeadingInteger(const cow_String& text) {
    const long value = std::strtol(text.text(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}
