#include "tools/listen/ipm_StanzaReader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Stanza = ipm_StanzaReader::Stanza;

const std::string header =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s1' from='localhost' version='1.0'>";

// A report as a server relays it: its own quoting, escaped quotes.
const std::string relayed =
    "<message from='hostkvjobs@localhost/beam' to='mon@localhost/desk' type='chat'><x xmlns='kelvane:msg'>"
    "<Progress><step type='integer'>3</step><heading type='string'>A&amp;B &quot;q&quot; &lt;x&gt;</heading>"
    "<note type='a&apos;b&quot;c'></note></Progress>\n</x></message>";
const std::string document =
    "<Progress><step type=\"integer\">3</step><heading type=\"string\">A&amp;B \"q\" &lt;x&gt;</heading>"
    "<note type=\"a'b&quot;c\"></note></Progress>\n";

std::vector<Stanza> feedAll(ipm_StanzaReader& reader, const std::vector<std::string>& pieces) {
    std::vector<Stanza> all;
    for (const std::string& piece : pieces) {
        for (Stanza& stanza : reader.Feed(piece)) all.push_back(std::move(stanza));
    }
    return all;
}

TEST(StanzaReader, CutsStanzasGluedToTheHeaderOrSplitAnywhere) {
    const std::string iq = "<iq type='result' id='reg'/>";
    const std::string stream = header + iq + relayed + "<presence from='a@b/c' type='unavailable'/>";

    ipm_StanzaReader glued;
    const std::vector<Stanza> atOnce = feedAll(glued, {stream});
    ASSERT_EQ(atOnce.size(), 3u);
    EXPECT_EQ(atOnce[0].name, "iq");
    EXPECT_EQ(atOnce[0].Attribute("id"), "reg");
    EXPECT_FALSE(atOnce[0].report);
    EXPECT_EQ(atOnce[1].name, "message");
    EXPECT_EQ(atOnce[1].Attribute("from"), "hostkvjobs@localhost/beam");
    ASSERT_TRUE(atOnce[1].report);
    EXPECT_EQ(*atOnce[1].report, document);
    EXPECT_EQ(atOnce[2].Attribute("type"), "unavailable");
    EXPECT_EQ(atOnce[2].Attribute("missing"), "");

    ipm_StanzaReader bytewise;
    std::vector<std::string> bytes;
    for (const char c : stream) bytes.emplace_back(1, c);
    const std::vector<Stanza> piecemeal = feedAll(bytewise, bytes);
    ASSERT_EQ(piecemeal.size(), 3u);
    EXPECT_EQ(*piecemeal[1].report, document);

    EXPECT_FALSE(bytewise.Ended());
    EXPECT_TRUE(bytewise.Feed("</stream:stream>").empty());
    EXPECT_TRUE(bytewise.Ended());
    EXPECT_TRUE(bytewise.Feed("<late/>").empty()) << "nothing is read after the stream's end";
}

TEST(StanzaReader, OnlyTheFirstExtensionInTheMessageNamespaceIsTheReport) {
    ipm_StanzaReader reader;
    const std::vector<Stanza> stanzas = feedAll(
        reader, {header,
                 "<message><body>Kill</body><x xmlns='jabber:x:other'>no</x><x xmlns='kelvane:msg'>first</x>"
                 "<x xmlns='kelvane:msg'>second</x></message>",
                 "<message><body>hi</body></message>", "<presence><x xmlns='kelvane:msg'>no</x></presence>"});
    ASSERT_EQ(stanzas.size(), 3u);
    ASSERT_TRUE(stanzas[0].report);
    EXPECT_EQ(*stanzas[0].report, "first");
    EXPECT_EQ(stanzas[0].child, "body");
    EXPECT_FALSE(stanzas[1].report);
    EXPECT_FALSE(stanzas[2].report);
}

TEST(StanzaReader, NamesTheConditionOfErrorsAndOfTheStreamsEnd) {
    ipm_StanzaReader reader;
    const std::vector<Stanza> stanzas = feedAll(
        reader,
        {header,
         "<iq type='error' id='auth'><query xmlns='jabber:iq:auth'/><error code='401' type='auth'>"
         "<text xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'>go away</text>"
         "<not-authorized xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>",
         "<message type='error'><error code='503'>old style</error></message>",
         "<iq type='get' id='p'><ping xmlns='urn:xmpp:ping'/></iq>",
         "<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error></stream:stream>"});
    ASSERT_EQ(stanzas.size(), 4u);
    EXPECT_EQ(stanzas[0].errorCondition, "not-authorized");
    EXPECT_EQ(stanzas[0].child, "query");
    EXPECT_EQ(stanzas[0].childNamespace, "jabber:iq:auth");
    EXPECT_EQ(stanzas[1].errorCondition, "503");
    EXPECT_EQ(stanzas[2].child, "ping");
    EXPECT_EQ(stanzas[2].childNamespace, "urn:xmpp:ping");
    EXPECT_EQ(stanzas[2].errorCondition, "");
    EXPECT_EQ(stanzas[3].name, "stream:error");
    EXPECT_EQ(stanzas[3].errorCondition, "conflict");
    EXPECT_TRUE(reader.Ended());
}

TEST(StanzaReader, DropsAReportLongerThanItsCapButKeepsTheStanza) {
    ipm_StanzaReader reader(10);
    const std::vector<Stanza> stanzas =
        feedAll(reader, {header, "<message from='j'><x xmlns='kelvane:msg'><A>12345678901</A></x></message>",
                         "<message><x xmlns='kelvane:msg'><A>1</A></x></message>"});
    ASSERT_EQ(stanzas.size(), 2u);
    EXPECT_TRUE(stanzas[0].reportTooLong);
    EXPECT_EQ(*stanzas[0].report, "");
    EXPECT_EQ(stanzas[0].Attribute("from"), "j");
    EXPECT_FALSE(stanzas[1].reportTooLong);
    EXPECT_EQ(*stanzas[1].report, "<A>1</A>");
}

TEST(StanzaReader, RefusesMalformedStreamsAndDocumentTypes) {
    ipm_StanzaReader malformed;
    malformed.Feed(header);
    EXPECT_THROW(malformed.Feed("<message></iq>"), std::runtime_error);

    ipm_StanzaReader withDoctype;
    try {
        withDoctype.Feed("<?xml version='1.0'?><!DOCTYPE s [<!ENTITY a 'aaaa'>]><s>&a;</s>");
        FAIL() << "a document type declaration was taken";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("document type"), std::string::npos) << error.what();
    }
}

}  // namespace
