#include "jcl/jcl_IQ.h"

#include "jcl/jcl_Node.h"
#include "jcl/jcl_XmlWriter.h"

namespace {
// The query's fields, in the order they are written.
struct QueryField {
    const char* tag;
    cow_String jcl_IQ::*value;
};
constexpr QueryField queryFields[] = {
    {"username", &jcl_IQ::username}, {"password", &jcl_IQ::password}, {"resource", &jcl_IQ::resource},
    {"name", &jcl_IQ::name},         {"first", &jcl_IQ::first},       {"last", &jcl_IQ::last},
    {"nick", &jcl_IQ::nick},         {"email", &jcl_IQ::email}};
}  // namespace

jcl_IQ::jcl_IQ() = default;

jcl_IQ::jcl_IQ(const jcl_Node& node) {
    if (node.tagName != "iq") return;
    ReadAddressing(node);
    for (const jcl_Node& child : node.children) {
        if (child.tagName == "query") {
            ReadQuery(child);
        } else if (child.tagName == "error") {
            error = child.text;
            errorCode = LeadingInteger(AttributeOf(child, "code"));
        }
    }
}

jcl_IQ::~jcl_IQ() = default;

cow_String jcl_IQ::GetKind() const { return "IQ"; }

cow_String jcl_IQ::Serialize() const {
    cow_String xml("<iq");
    SerializeAttributes(xml);
    xml.append("><query");
    std::string space;
    jcl_XmlWriter::AppendAttribute(space, "xmlns", queryNamespace.view());
    xml.append(space);
    xml += '>';
    for (const QueryField& field : queryFields) AppendElement(xml, field.tag, this->*field.value);
    xml.append("</query>");
    AppendError(xml, error, errorCode);
    xml.append("</iq>\n");
    return xml;
}

void jcl_IQ::ReadQuery(const jcl_Node& query) {
    queryNamespace = AttributeOf(query, "xmlns");
    for (const jcl_Node& child : query.children)
        for (const QueryField& field : queryFields)
            if (child.tagName == field.tag) this->*field.value = child.text;
}
