// XML element trees and the stanzas built from them and written from them.
#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "foundation/aio_ostream.h"
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

jcl_Node ErrorElement(const char* code, const char* text) {
    return code ? Element("error", text, {{"code", code}}) : Element("error", text);
}

// Collects what aio_cout receives while it lives.
class CapturedConsole {
public:
    CapturedConsole() { aio_cout.SetTarget(captured); }
    ~CapturedConsole() { aio_cout.SetTarget(std::cout); }
    std::string Text() const { return captured.str(); }

private:
    std::ostringstream captured;
};

cow_1DArrayList<int> Path(std::initializer_list<int> steps) {
    cow_1DArrayList<int> path;
    for (int step : steps) path.Append(step);
    return path;
}
}  // namespace

TEST(JclNode, SerializesAttributesInKeyOrderUnescapedWithOneDiagnosticLinePerElement) {
    const jcl_Node node = Element("n", "a<b&c", {{"z", "say \"hi\""}, {"a", "1"}, {"a", "2"}}, {Element("body", "b")});
    {
        CapturedConsole console;
        EXPECT_EQ(node.Serialize(), "<n a=\"1\" z=\"say \"hi\"\">a<b&c\n<body>b\n</body>\n</n>\n");
        EXPECT_EQ(console.Text(), "valuea<b&c\nvalueb\n");
    }
    CapturedConsole console;
    EXPECT_EQ(jcl_Node().Serialize(), "<>\n</>\n");
}

TEST(JclNode, TraverseFollowsChildIndicesAndCopiesAreIndependent) {
    jcl_Node child = Element("first");
    jcl_Node root = Element("root", "", {}, {child, Element("second", "", {}, {Element("inner0"), Element("inner1")})});
    child.text = "after";
    EXPECT_EQ(root.GetChild(0).text, "");

    EXPECT_EQ(&root.Traverse(Path({})), &root);
    EXPECT_EQ(root.Traverse(Path({1, 1})).GetTagName(), "inner1");
    root.Traverse(Path({0})).text = "changed";
    EXPECT_EQ(root.GetChild(0).text, "changed");
    EXPECT_THROW(root.GetChild(2), std::out_of_range);
    EXPECT_THROW(root.GetChild(-1), std::out_of_range);
    EXPECT_THROW(root.Traverse(Path({1, 0, 0})), std::out_of_range);

    jcl_Node copy = root;
    copy.GetChild(0).InsertAttribute("k", "v");
    copy.Append(Element("extra"));
    EXPECT_EQ(root.children.Count(), 2);
    EXPECT_EQ(root.GetChild(0).attributes.Count(), 0);
}

TEST(JclMessage, SerializesOptionalPartsOnlyWhenSet) {
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

    jcl_Message codeOnly;
    codeOnly.errorCode = 404;
    codeOnly.to = "q\"<";
    EXPECT_EQ(codeOnly.Serialize(), "<message to=\"q\"<\"></message>\n");
    EXPECT_EQ(codeOnly.GetKind(), "message");
}

TEST(JclMessage, ReadsAMessageElementAndNothingFromOtherElements) {
    const jcl_Message message(Element("message", "", {{"to", "job@srv"}, {"from", "listener@srv/r"}, {"type", "chat"}},
                                      {Element("body", "first"), Element("subject", "s"), Element("body", "second"),
                                       ErrorElement(" -12xyz", "bad"), Element("thread", "t")}));
    EXPECT_EQ(message.Serialize(), "<message to=\"job@srv\" from=\"listener@srv/r\" type=\"chat\"><subject>s</subject>"
                                   "<body>second</body><error code=\"-12\">bad</error></message>\n");

    EXPECT_EQ(jcl_Message(Element("message", "", {}, {ErrorElement(nullptr, "e")})).errorCode, 0);
    EXPECT_EQ(jcl_Message(Element("message", "", {}, {ErrorElement("99999999999999999999", "e")})).errorCode, INT_MAX);

    for (const char* name : {"presence", "Message", "iq", ""}) {
        const jcl_Message other(Element(name, "", {{"to", "a"}}, {Element("body", "b"), ErrorElement("5", "e")}));
        EXPECT_EQ(other.Serialize(), "<message></message>\n") << name;
        EXPECT_EQ(other.errorCode, 0);
    }
}

TEST(JclMessage, ReceivedExtensionElementsAccumulateInSerialisedForm) {
    const jcl_Node kill = Element("x", "Kill", {{"xmlns", "kelvane:msg"}});
    const jcl_Node nested =
        Element("x", "outer", {{"b", "2"}, {"a", "1"}}, {Element("item", "in", {}, {Element("leaf")})});
    const jcl_Message message(Element("message", "", {}, {kill, nested}));
    EXPECT_EQ(message.x,
              "<x xmlns=\"kelvane:msg\">Kill</x>\n"
              "<x a=\"1\" b=\"2\">outer<item>in<leaf></leaf>\n</item>\n</x>\n");
    EXPECT_EQ(jcl_Message(Element("message", "", {}, {kill})).Serialize(),
              "<message><x xmlns=\"kelvane:msg\"><x xmlns=\"kelvane:msg\">Kill</x>\n</x></message>\n");
}

TEST(JclPresence, WritesShowBeforeStatusNeverThePriorityAndReadsOnlyPresences) {
    jcl_Presence away;
    away.type = "unavailable";
    away.priority = 5;
    EXPECT_EQ(away.Serialize(), "<presence type=\"unavailable\"></presence>\n");
    away.status = "gone";
    away.show = "xa";
    away.from = "j";
    EXPECT_EQ(away.Serialize(), "<presence from=\"j\" type=\"unavailable\"><show>xa</show><status>gone</status></presence>\n");
    EXPECT_EQ(away.GetKind(), "presence");

    const jcl_Presence presence(Element("presence", "", {{"id", "p1"}, {"type", "subscribe"}},
                                        {Element("priority", "  +7 and more"), Element("status", "old"),
                                         Element("show", "dnd"), Element("status", "new")}));
    EXPECT_EQ(presence.priority, 7);
    EXPECT_EQ(presence.Serialize(),
              "<presence type=\"subscribe\" id=\"p1\"><show>dnd</show><status>new</status></presence>\n");
    EXPECT_EQ(jcl_Presence(Element("presence", "", {}, {Element("priority", "high")})).priority, 0);
    EXPECT_EQ(jcl_Presence(Element("message", "", {}, {Element("status", "s")})).Serialize(), "<presence></presence>\n");
}

TEST(JclIQ, SerializesTheQueryAlwaysAndItsFieldsInFixedOrder) {
    jcl_IQ all;
    EXPECT_EQ(all.Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
    EXPECT_EQ(all.GetKind(), "IQ");
    all.email = "e";
    all.nick = "k";
    all.last = "l";
    all.first = "f";
    all.name = "n";
    all.resource = "r";
    all.password = "p";
    all.username = "u";
    all.type = "get";
    all.queryNamespace = "jabber:iq:auth";
    EXPECT_EQ(all.Serialize(),
              "<iq type=\"get\"><query xmlns=\"jabber:iq:auth\"><username>u</username><password>p</password>"
              "<resource>r</resource><name>n</name><first>f</first><last>l</last><nick>k</nick><email>e</email>"
              "</query></iq>\n");

    jcl_IQ refused;
    refused.error = "conflict";
    refused.errorCode = 409;
    EXPECT_EQ(refused.Serialize(), "<iq><query xmlns=\"\"></query><error code=\"409\">conflict</error></iq>\n");
}

TEST(JclIQ, ReadsTheQueryAndTheErrorBesideIt) {
    jcl_Node query = Element("query", "", {{"xmlns", "jabber:iq:register"}});
    for (const char* field : {"username", "password", "resource", "name", "first", "last", "nick", "email"})
        query.Append(Element(field, field));
    query.Append(Element("instructions", "ignored"));

    const jcl_IQ iq(Element("iq", "", {{"type", "result"}, {"id", "reg1"}},
                            {Element("username", "not inside the query"), query, ErrorElement("409", "conflict")}));
    EXPECT_EQ(iq.Serialize(),
              "<iq type=\"result\" id=\"reg1\"><query xmlns=\"jabber:iq:register\"><username>username</username>"
              "<password>password</password><resource>resource</resource><name>name</name><first>first</first>"
              "<last>last</last><nick>nick</nick><email>email</email></query><error code=\"409\">conflict</error></iq>\n");

    const jcl_IQ fromBare(Element("iq", "", {}, {Element("query"), Element("username", "direct")}));
    EXPECT_EQ(fromBare.Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
    EXPECT_EQ(jcl_IQ(query).Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
}
