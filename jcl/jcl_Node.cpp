#include "jcl/jcl_Node.h"

#include <stdexcept>

#include "foundation/aio_ostream.h"
#include "jcl/impl/jcl_StanzaParser.h"
#include "jcl/jcl_XmlWriter.h"

template class cow_1DArray<jcl_Node>;
template class cow_1DArrayList<jcl_Node>;

const cow_String& jcl_Node::GetTagName() const { return tagName; }

void jcl_Node::InsertAttribute(const cow_String& name, const cow_String& value) { attributes.Insert(name, value); }

std::string jcl_Node::Attribute(std::string_view name) const {
    const cow_String key(name);
    return attributes.IsMember(key) ? std::string(attributes.ConstGet(key).view()) : std::string();
}

void jcl_Node::InsertAttributeList(const char** pairs) {
    for (; pairs[0]; pairs += 2) InsertAttribute(pairs[0], pairs[1]);
}

void jcl_Node::Append(const jcl_Node& child) { children.Append(child); }

jcl_Node& jcl_Node::GetChild(int index) {
    if (index < 0 || index >= children.Count()) throw std::out_of_range("jcl_Node::GetChild: no such child");
    return children.Get(index);
}

jcl_Node& jcl_Node::Traverse(const cow_1DArrayList<int>& path) {
    jcl_Node* node = this;
    for (int step : path) node = &node->GetChild(step);
    return *node;
}

cow_String jcl_Node::Serialize() const {
    aio_cout.print("value") << text;
    aio_cout.put('\n').flush();

    cow_String xml = StartTag();
    xml.append(jcl_XmlWriter::Text(text.view()));
    xml += '\n';
    for (const jcl_Node& child : children) xml += child.Serialize();
    xml.append("</");
    xml += tagName;
    xml.append(">\n");
    return xml;
}

cow_String jcl_Node::StartTag() const { return cow_String(jcl_XmlWriter::StartTag(*this)); }

std::optional<jcl_Node> jcl_Node::Parse(std::string_view document, std::string& error) {
    std::optional<jcl_Node> root;
    jcl_StanzaParser parser(1, [&root](jcl_Node& element) { root = element; });
    if (!parser.Parse(document, error)) return std::nullopt;
    if (!root) error = "no document element";
    return root;
}
