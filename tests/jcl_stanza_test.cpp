// XML element trees and the stanzas built from them and written from them.
#include <gtest/gtest.h>

#include <climits>
#include <utility>

#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"

namespace {
using Attributes = std::initializer_list<std::pair<const char*, const char*>>;

jcl_Node Element(const char* name, const char* text = "", Attributes attributes = {},
                 std::initializer_list<jcl_Node> children = {}) {
    jcl_Node node;
    node.SetTagName(name);
    node.text = text;
    for (const auto& [key, value] : attributes) node.InsertAttribute(key, value);
    for (const jcl_Node& child : children) node.Append(child);
    return node;
}

}  // namespace

TEST(JclMessage, WritesOptionalPartsOnlyWhenSetAndReadsOnlyMessages) {
    jcl_Message empty;
    EXPECT_EQ(empty.Serialize(), "<message></message>\n");
    empty.SetX("<doc/>");
    EXPECT_EQ(empty.Serialize(), "<message><x xmlns=\"kelvane:msg\"><doc/></x></message>\n");
    const jcl_Message read(Element("message", "", {{"id", "4"}, {"to", "t"}, {"from", "f"}, {"type", "error"}},
                                   {Element("body", "first"), Element("subject", "s"), Element("body", "b"),
                                    Element("error", "gone", {{"code", " -12xyz"}}), Element("thread", "t")}));
    EXPECT_EQ(read.Serialize(), "<message to=\"t\" from=\"f\" type=\"error\" id=\"4\"><subject>s</subject><body>b</body>"
                                "<error code=\"-12\">gone</error></message>\n");
    EXPECT_EQ(jcl_Message(Element("message", "", {}, {Element("error", "e", {{"code", "99999999999999999999"}})})).errorCode,
              INT_MAX);
    EXPECT_EQ(jcl_Message(Element("Message", "", {{"to", "a"}}, {Element("body", "b")})).Serialize(),
              "<message></message>\n");
}

// The kill request travels in the extension element: what arrives is kept whole.
TEST(JclMessage, ReceivedExtensionElementsAccumulateInSerialisedForm) {
    const jcl_Node kill = Element("x", "Kill", {{"xmlns", "kelvane:msg"}});
    const jcl_Node nested = Element("x", "outer", {{"b", "2"}, {"a", "1"}}, {Element("item", "in")});
    EXPECT_EQ(jcl_Message(Element("message", "", {}, {kill, nested})).x,
              "<x xmlns=\"kelvane:msg\">Kill</x>\n<x a=\"1\" b=\"2\">outer<item>in</item>\n</x>\n");
}

TEST(JclPresence, WritesShowBeforeStatusNeverThePriorityAndReadsIt) {
    const jcl_Presence presence(Element("presence", "", {{"id", "p1"}, {"type", "subscribe"}},
                                        {Element("priority", "  +7 and more"), Element("status", "old"),
                                         Element("show", "dnd"), Element("status", "new")}));
    EXPECT_EQ(presence.priority, 7);
    EXPECT_EQ(presence.Serialize(),
              "<presence type=\"subscribe\" id=\"p1\"><show>dnd</show><status>new</status></presence>\n");
    EXPECT_EQ(jcl_Presence(Element("message", "", {}, {Element("status", "s")})).Serialize(), "<presence></presence>\n");
}
