#include <gtest/gtest.h>

#include <climits>

#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"

namespace {
jcl_Node Element(const char* name, const char* text = "") {
    jcl_Node node;
    node.SetTagName(name);
    node.text = text;
    return node;
}

jcl_Node ErrorElement(const char* code, const char* text) {
    jcl_Node error = Element("error", text);
    if (code) error.InsertAttribute("code", code);
    return error;
}
}  // namespace

TEST(JclMessage, SerializesOptionalPartsOnlyWhenSet) {
    EXPECT_EQ(jcl_Message().Serialize(), "<message></message>\n");

    jcl_Message chat;
    chat.to = "a";
    chat.type = "chat";
    chat.SetX("p");
    EXPECT_EQ(chat.Serialize(), "<message to=\"a\" type=\"chat\"><x xmlns=\"kelvane:msg\">p</x></message>\n");

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

TEST(JclMessage, ReadsAMessageElement) {
    jcl_Node node = Element("message");
    node.InsertAttribute("to", "job@srv");
    node.InsertAttribute("from", "listener@srv/r");
    node.InsertAttribute("type", "chat");
    node.InsertAttribute("lang", "en");
    node.Append(Element("body", "first"));
    node.Append(Element("subject", "s"));
    node.Append(Element("body", "second"));
    node.Append(ErrorElement(" -12xyz", "bad"));
    node.Append(Element("thread", "t"));

    jcl_Message message(node);
    EXPECT_EQ(message.to, "job@srv");
    EXPECT_EQ(message.from, "listener@srv/r");
    EXPECT_EQ(message.type, "chat");
    EXPECT_EQ(message.id, "");
    EXPECT_EQ(message.subject, "s");
    EXPECT_EQ(message.body, "second");
    EXPECT_EQ(message.error, "bad");
    EXPECT_EQ(message.errorCode, -12);
    EXPECT_EQ(message.x, "");

    jcl_Node noCode = Element("message");
    noCode.Append(ErrorElement(nullptr, "e"));
    EXPECT_EQ(jcl_Message(noCode).errorCode, 0);
    jcl_Node hugeCode = Element("message");
    hugeCode.Append(ErrorElement("99999999999999999999", "e"));
    EXPECT_EQ(jcl_Message(hugeCode).errorCode, INT_MAX);
}

TEST(JclMessage, OtherElementsGiveAnEmptyMessage) {
    for (const char* name : {"presence", "Message", "iq", ""}) {
        jcl_Node node = Element(name);
        node.InsertAttribute("to", "a");
        node.Append(Element("body", "b"));
        node.Append(ErrorElement("5", "e"));
        jcl_Message message(node);
        EXPECT_EQ(message.Serialize(), "<message></message>\n") << name;
        EXPECT_EQ(message.errorCode, 0);
    }
}

TEST(JclMessage, ReceivedExtensionElementsAccumulateInSerialisedForm) {
    jcl_Node kill = Element("x", "Kill");
    kill.InsertAttribute("xmlns", "kelvane:msg");
    jcl_Node nested = Element("x", "outer");
    nested.InsertAttribute("b", "2");
    nested.InsertAttribute("a", "1");
    jcl_Node inner = Element("item", "in");
    inner.Append(Element("leaf"));
    nested.Append(inner);

    jcl_Node node = Element("message");
    node.Append(kill);
    node.Append(nested);
    jcl_Message message(node);
    EXPECT_EQ(message.x,
              "<x xmlns=\"kelvane:msg\">Kill</x>\n"
              "<x a=\"1\" b=\"2\">outer<item>in<leaf></leaf>\n</item>\n</x>\n");
    EXPECT_TRUE(message.x.Contains("Kill"));

    jcl_Node single = Element("message");
    single.Append(kill);
    EXPECT_EQ(jcl_Message(single).Serialize(),
              "<message><x xmlns=\"kelvane:msg\"><x xmlns=\"kelvane:msg\">Kill</x>\n</x></message>\n");
}

TEST(JclPresence, SerializesShowBeforeStatusAndNeverThePriority) {
    EXPECT_EQ(jcl_Presence().Serialize(), "<presence></presence>\n");

    jcl_Presence away;
    away.type = "unavailable";
    away.priority = 5;
    EXPECT_EQ(away.Serialize(), "<presence type=\"unavailable\"></presence>\n");

    away.status = "gone";
    away.show = "xa";
    away.from = "j";
    EXPECT_EQ(away.Serialize(), "<presence from=\"j\" type=\"unavailable\"><show>xa</show><status>gone</status></presence>\n");
    EXPECT_EQ(away.GetKind(), "presence");
}

TEST(JclPresence, ReadsAPresenceElement) {
    jcl_Node node = Element("presence");
    node.InsertAttribute("id", "p1");
    node.InsertAttribute("type", "subscribe");
    node.Append(Element("priority", "  +7 and more"));
    node.Append(Element("status", "old"));
    node.Append(Element("show", "dnd"));
    node.Append(Element("status", "new"));
    jcl_Presence presence(node);
    EXPECT_EQ(presence.id, "p1");
    EXPECT_EQ(presence.type, "subscribe");
    EXPECT_EQ(presence.priority, 7);
    EXPECT_EQ(presence.status, "new");
    EXPECT_EQ(presence.show, "dnd");

    jcl_Node wordy = Element("presence");
    wordy.Append(Element("priority", "high"));
    EXPECT_EQ(jcl_Presence(wordy).priority, 0);

    jcl_Node message = Element("message");
    message.Append(Element("status", "s"));
    EXPECT_EQ(jcl_Presence(message).Serialize(), "<presence></presence>\n");
}

TEST(JclIQ, SerializesTheQueryAlwaysAndItsFieldsInFixedOrder) {
    jcl_IQ empty;
    EXPECT_EQ(empty.Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
    EXPECT_EQ(empty.GetKind(), "IQ");

    jcl_IQ get;
    get.type = "get";
    get.queryNamespace = "jabber:iq:auth";
    get.username = "u";
    EXPECT_EQ(get.Serialize(), "<iq type=\"get\"><query xmlns=\"jabber:iq:auth\"><username>u</username></query></iq>\n");

    jcl_IQ all;
    all.email = "e";
    all.nick = "k";
    all.last = "l";
    all.first = "f";
    all.name = "n";
    all.resource = "r";
    all.password = "p";
    all.username = "u";
    EXPECT_EQ(all.Serialize(),
              "<iq><query xmlns=\"\"><username>u</username><password>p</password><resource>r</resource>"
              "<name>n</name><first>f</first><last>l</last><nick>k</nick><email>e</email></query></iq>\n");

    jcl_IQ refused;
    refused.error = "conflict";
    refused.errorCode = 409;
    EXPECT_EQ(refused.Serialize(), "<iq><query xmlns=\"\"></query><error code=\"409\">conflict</error></iq>\n");
    refused.error = "";
    EXPECT_EQ(refused.Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
}

TEST(JclIQ, ReadsTheQueryAndTheErrorBesideIt) {
    jcl_Node query = Element("query");
    query.InsertAttribute("xmlns", "jabber:iq:register");
    for (const char* field : {"username", "password", "resource", "name", "first", "last", "nick", "email"})
        query.Append(Element(field, field));
    query.Append(Element("instructions", "ignored"));

    jcl_Node node = Element("iq");
    node.InsertAttribute("type", "result");
    node.InsertAttribute("id", "reg1");
    node.Append(Element("username", "not inside the query"));
    node.Append(query);
    node.Append(ErrorElement("409", "conflict"));

    jcl_IQ iq(node);
    EXPECT_EQ(iq.type, "result");
    EXPECT_EQ(iq.id, "reg1");
    EXPECT_EQ(iq.queryNamespace, "jabber:iq:register");
    EXPECT_EQ(iq.username, "username");
    EXPECT_EQ(iq.password, "password");
    EXPECT_EQ(iq.resource, "resource");
    EXPECT_EQ(iq.name, "name");
    EXPECT_EQ(iq.first, "first");
    EXPECT_EQ(iq.last, "last");
    EXPECT_EQ(iq.nick, "nick");
    EXPECT_EQ(iq.email, "email");
    EXPECT_EQ(iq.error, "conflict");
    EXPECT_EQ(iq.errorCode, 409);

    jcl_Node bare = Element("iq");
    bare.Append(Element("query"));
    bare.Append(Element("username", "direct"));
    jcl_IQ fromBare(bare);
    EXPECT_EQ(fromBare.queryNamespace, "");
    EXPECT_EQ(fromBare.username, "");

    EXPECT_EQ(jcl_IQ(query).Serialize(), "<iq><query xmlns=\"\"></query></iq>\n");
}
