// XML element trees and the stanzas built from them and written from them.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <utility>

#include "jcl/jcl_IQ.h"
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

cow_1DArrayList<int> Path(std::initializer_list<int> steps) {
    cow_1DArrayList<int> path;
    for (int step : steps) path.Append(step);
    return path;
}
}  // namespace

TEST(JclNode, SerializesUnescapedInKeyOrderAndTraversesIndependentCopies) {
    jcl_Node root = Element("n", "a<b&c", {{"z", "\"q\""}, {"a", "1"}, {"a", "2"}},
                            {Element("first"), Element("second", "", {}, {Element("inner0"), Element("inner1")})});
    EXPECT_EQ(Element("n", "a<b&c", {{"z", "\"q\""}, {"a", "1"}}, {Element("b", "t")}).Serialize(),
              "<n a=\"1\" z=\"\"q\"\">a<b&c\n<b>t\n</b>\n</n>\n");
    EXPECT_EQ(root.Traverse(Path({1, 1})).GetTagName(), "inner1");
    EXPECT_THROW(root.Traverse(Path({1, 0, 0})), std::out_of_range);
    EXPECT_THROW(root.GetChild(-1), std::out_of_range);
    jcl_Node copy = root;
    copy.Traverse(Path({0})).text = "changed";
    EXPECT_EQ(root.GetChild(0).text, "");
}

TEST(JclMessage, WritesOptionalPartsOnlyWhenSetAndReadsOnlyMessages) {
    EXPECT_EQ(jcl_Message().Serialize(), "<message></message>\n");
    jcl_Message full;
    full.id = "4";
    full.from = "f";
    full.to = "t";
    full.type = "error";
    full.SetSubject("s");
    full.SetBody("b");
    full.error = "gone";
    full.errorCode = 404;
    full.SetX("<doc/>");
    EXPECT_EQ(full.Serialize(),
              "<message to=\"t\" from=\"f\" type=\"error\" id=\"4\"><subject>s</subject><body>b</body>"
              "<error code=\"404\">gone</error><x xmlns=\"kelvane:msg\"><doc/></x></message>\n");

    const jcl_Message read(Element("message", "", {{"to", "job@srv"}, {"type", "chat"}},
                                   {Element("body", "first"), Element("body", "second"),
                                    Element("error", "bad", {{"code", " -12xyz"}}), Element("thread", "t")}));
    EXPECT_EQ(read.Serialize(),
              "<message to=\"job@srv\" type=\"chat\"><body>second</body><error code=\"-12\">bad</error></message>\n");
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

TEST(JclIQ, ReadsTheQueryAndTheErrorBesideItAndWritesThemInFixedOrder) {
    jcl_Node query = Element("query", "", {{"xmlns", "jabber:iq:register"}});
    for (const char* field : {"email", "nick", "last", "first", "name", "resource", "password", "username"})
        query.Append(Element(field, field));
    const jcl_IQ iq(Element("iq", "", {{"type", "result"}, {"id", "reg1"}},
                            {Element("username", "outside"), query, Element("error", "conflict", {{"code", "409"}})}));
    EXPECT_EQ(iq.Serialize(),
              "<iq type=\"result\" id=\"reg1\"><query xmlns=\"jabber:iq:register\"><username>username</username>"
              "<password>password</password><resource>resource</resource><name>name</name><first>first</first>"
              "<last>last</last><nick>nick</nick><email>email</email></query><error code=\"409\">conflict</error></iq>\n");
    EXPECT_EQ(jcl_IQ(query).Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
}
