// XML element trees, the stanzas built from them and written from them, and
// Jabber addresses.
#include <gtest/gtest.h>

#include <climits>
#include <utility>

#include "jcl/jcl_ErrorCondition.h"
#include "jcl/jcl_Jid.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_XmlWriter.h"

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

// Whoever writes a value, it comes back from the parser as it was.
TEST(JclXml, ValuesAreEscapedWhereverTheyAreWrittenAndReadBackWhole) {
    jcl_Message message;
    message.to = "a\"b&c<d>";
    message.body = "x<y&z\"";
    EXPECT_EQ(message.Serialize(), "<message to=\"a&quot;b&amp;c&lt;d&gt;\"><body>x&lt;y&amp;z\"</body></message>\n");
    const jcl_Node node = Element("n", "t<&", {{"v", "1\"2&<"}}, {Element("c", "", {{"w", "\""}})});
    EXPECT_EQ(node.StartTag(), "<n v=\"1&quot;2&amp;&lt;\">");
    EXPECT_EQ(jcl_XmlWriter::Element(node), "<n v=\"1&quot;2&amp;&lt;\"><c w=\"&quot;\"></c>t&lt;&amp;</n>");
    for (const std::string& written : {jcl_XmlWriter::Element(node), std::string(node.Serialize().view())}) {
        std::string error;
        const auto back = jcl_Node::Parse(written, error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(back->attributes.ConstGet("v"), "1\"2&<");
        EXPECT_EQ(back->children[0].attributes.ConstGet("w"), "\"");
        EXPECT_TRUE(back->text.view().starts_with("t<&"));
    }
    std::string error;
    EXPECT_FALSE(jcl_Node::Parse("<a><b></a>", error));
    EXPECT_FALSE(jcl_Node::Parse("<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>", error));
    EXPECT_EQ(error, "document type declaration refused");
}

TEST(JclXml, TheErrorConditionIsTheDefinedOneElseTheOldCodeElseNone) {
    const jcl_Node stanza = Element("iq", "", {{"type", "error"}},
                                    {Element("error", "", {{"type", "cancel"}},
                                             {Element("text", "gone away"), Element("item-not-found")})});
    EXPECT_EQ(jcl_ErrorCondition::Of(stanza), "item-not-found: gone away");
    EXPECT_EQ(jcl_ErrorCondition::Of(Element("error", "conflict", {{"code", "409"}})), "409: conflict");
    EXPECT_EQ(jcl_ErrorCondition::Of(Element("stream:error", "", {}, {Element("host-unknown")})), "host-unknown");
    EXPECT_EQ(jcl_ErrorCondition::Of(Element("failure")), "no reason given");
}

TEST(JclJid, EveryPartParsedAndFormattedAgainAndWhatIsNoAddressRefused) {
    for (const char* text : {"mon@srv/desk/2@x", "mon@srv/", "@srv/r"}) {
        const auto jid = jcl_Jid::Parse(text);
        ASSERT_TRUE(jid) << text;
        EXPECT_EQ(jid->Format(), text);
    }
    const auto jid = jcl_Jid::Parse("a@b@srv/desk/2");
    ASSERT_TRUE(jid);
    EXPECT_EQ(jid->user + "|" + jid->server + "|" + jid->resource, "a@b|srv|desk/2");
    EXPECT_EQ(jid->Bare(), "a@b@srv");
    EXPECT_EQ(jcl_Jid::Parse("mon@srv")->Format(), "mon@srv/");
    for (const char* text : {"", "srv/desk", "mon@", "mon@/desk", "a/b@c", "/@x"})
        EXPECT_FALSE(jcl_Jid::Parse(text)) << text;
}
