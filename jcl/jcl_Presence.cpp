#include "jcl/jcl_Presence.h"

#include "jcl/jcl_Node.h"

jcl_Presence::jcl_Presence() = default;

jcl_Presence::jcl_Presence(const jcl_Node& node) {
    if (node.tagName != "presence") return;
    ReadAddressing(node);
    for (const jcl_Node& child : node.children) {
        if (child.tagName == "status") {
            status = child.text;
        } else if (child.tagName == "show") {
            show = child.text;
        } else if (child.tagName == "priority") {
            priority = LeadingInteger(child.text);
        }
    }
}

jcl_Presence::~jcl_Presence() = default;

cow_String jcl_Presence::GetKind() const { return "presence"; }

cow_String jcl_Presence::Serialize() const {
    cow_String xml("<presence");
    SerializeAttributes(xml);
    xml += '>';
    AppendElement(xml, "show", show);
    AppendElement(xml, "status", status);
    xml.append("</presence>\n");
    return xml;
}
