#include "jcl/jcl_Message.h"

#include "jcl/jcl_Node.h"
#include "jcl/jcl_XmlWriter.h"

jcl_Message::jcl_Message() = default;

jcl_Message::jcl_Message(const jcl_Node& node) {
    if (node.tagName != "message") return;
    ReadAddressing(node);
    for (const jcl_Node& child : node.children) {
        if (child.tagName == "subject") {
            subject = child.text;
        } else if (child.tagName == "body") {
            body = child.text;
        } else if (child.tagName == "error") {
            error = child.text;
            errorCode = LeadingInteger(AttributeOf(child, "code"));
        } else if (child.tagName == "x") {
            AppendXNode(child);
            xElements.Append(child);
        }
    }
}

jcl_Message::~jcl_Message() = default;

void jcl_Message::SetSubject(const cow_String& text) { subject = text; }

void jcl_Message::SetBody(const cow_String& text) { body = text; }

void jcl_Message::SetX(const cow_String& content) { x = content; }

cow_String jcl_Message::GetKind() const { return "message"; }

cow_String jcl_Message::Serialize() const {
    cow_String xml("<message");
    SerializeAttributes(xml);
    xml += '>';
    AppendElement(xml, "subject", subject);
    AppendElement(xml, "body", body);
    AppendError(xml, error, errorCode);
    if (!x.isEmpty()) {
        xml.append("<x xmlns=\"");
        xml.append(reportNamespace);
        xml.append("\">");
        xml += x;
        xml.append("</x>");
    }
    xml.append("</message>\n");
    return xml;
}

// Like jcl_Node::Serialize, but without the line feed after the text and
// without diagnostics.
void jcl_Message::AppendXNode(const jcl_Node& node) {
    x += node.StartTag();
    x.append(jcl_XmlWriter::Text(node.text.view()));
    for (const jcl_Node& child : node.children) AppendXNode(child);
    x.append("</");
    x += node.tagName;
    x.append(">\n");
}
