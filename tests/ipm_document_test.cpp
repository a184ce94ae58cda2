#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/omi_AlertListener.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/ipm_StringRoom.h"
#include "ipm/ipm_c.h"
#include "support/TransmitterSetup.h"

namespace {
struct Values {
    std::vector<int> integers;
    std::vector<double> doubles;
    std::vector<const char*> texts;
};

const ipm_MessageDocument& direct = ipm_MessageDocument::direct;
const ipm_MessageDocument& jabber = ipm_MessageDocument::jabber;

// Every document is also built into storage that held longer ones before,
// as a sending thread keeps it, and must come out the same.
std::string build(const ipm_MessageDocument& variant, const char* type, const char* format, const Values& values = {},
                  bool started = false, const char* job = "beam") {
    static std::string kept(4096, '#');
    ipm_StringRoom room(kept);
    const std::string into(variant.BuildInto(room, type, format, values.integers.data(), values.doubles.data(),
                                             values.texts.data(), started, cow_String(job)));
    std::string built(variant
                          .Build(type, format, values.integers.data(), values.doubles.data(), values.texts.data(),
                                 started, cow_String(job))
                          .view());
    EXPECT_EQ(into, built);
    return built;
}

std::string context(const std::string& phase, const std::string& job = "beam") {
    return "<phase type=\"symconst\">" + phase + "</phase><jobName type=\"string\">" + job + "</jobName>";
}

// A document of type M with these fields and the standing context.
std::string one(const std::string& fields, const std::string& phase = "") {
    return "<M>" + fields + context(phase) + "</M>\n";
}

ipm_MessageTransmit& transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override { RestartTransmitter({}); }
    void TearDown() override { ipm_MessageTransmit::DestroyInstance(); }
};

TEST_F(DocumentTest, EscapesOnlyTheVariantsNamedStringFields) {
    const char* format = "heading=%s stepName=%s message=%s file=%s Heading=%s flag=%b state=%e";
    const Values values{{}, {}, {"a<b&c>d", "&amp;", "<m>", "f&g", "<H>", "<b>", "<e>"}};
    const std::string head =
        R"(<T&><heading type="string">a&lt;b&amp;c&gt;d</heading><stepName type="string">&amp;amp;</stepName>)";
    const std::string tail = "<Heading type=\"string\"><H></Heading><flag type=\"boolean\"><b></flag>"
                             "<state type=\"symconst\"><e></state>" + context("", "j<b>") + "</T&>\n";
    EXPECT_EQ(build(direct, "T&", format, values, false, "j<b>"),
              head + "<message type=\"string\">&lt;m&gt;</message><file type=\"string\">f&amp;g</file>" + tail);
    EXPECT_EQ(build(jabber, "T&", format, values, false, "j<b>"),
              head + "<message type=\"string\"><m></message><file type=\"string\">f&g</file>" + tail);

    // Escapes alone, past the writer's slack: the room estimate must hold.
    std::string entities;
    for (int i = 0; i < 3000; ++i) entities += "&amp;";
    for (const ipm_MessageDocument* variant : {&direct, &jabber})
        EXPECT_EQ(build(*variant, "M", "heading=%s", {{}, {}, {std::string(3000, '&').c_str()}}),
                  one("<heading type=\"string\">" + entities + "</heading>"));
}

TEST_F(DocumentTest, JabberReplacesWhatXmlCannotCarryAndDirectStaysByteExact) {
    const auto replaced = [](int count) {
        std::string all;
        while (count-- > 0) all += "\xef\xbf\xbd";
        return all;
    };
    const std::pair<std::string, std::string> texts[] = {
        {"a\x01\x08\x0b\x0c\x0e\x1f z", "a" + replaced(6) + " z"},
        {"\t\n\r\x7f \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\t\n\r\x7f \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc3", replaced(1)},  {"\xc0\xaf", replaced(2)},  // cut short, overlong
        {"\xed\xa0\x80", replaced(3)}, {"\xef\xbf\xbe", replaced(3)}, {"\xf4\x90\x80\x80", replaced(4)},
        {std::string(40, '\x02'), replaced(40)},
    };
    for (const auto& [text, carried] : texts) {
        EXPECT_EQ(build(jabber, "M", "s=%s", {{}, {}, {text.c_str()}}), one("<s type=\"string\">" + carried + "</s>"));
        EXPECT_EQ(build(direct, "M", "s=%s", {{}, {}, {text.c_str()}}), one("<s type=\"string\">" + text + "</s>"));
    }
    const std::string r = replaced(1);
    transmitter().SetCurrentPhase("P\x01");
    EXPECT_EQ(build(jabber, "T\x01", "n\x02=%s heading=%s", {{}, {}, {"", "&\x03<"}}, false, "j\x04"),
              "<T" + r + "><n" + r + " type=\"string\"></n" + r + "><heading type=\"string\">&amp;" + r +
                  "&lt;</heading>" + context("P" + r, "j" + r) + "</T" + r + ">\n");
}

TEST_F(DocumentTest, ADocumentTooLargeForAStringIsRefusedBeforeAnythingIsWritten) {
    // Many fields share one text, so the refusal costs megabytes, not gigabytes.
    const std::string ampersands(1 << 20, '&');
    const size_t fields = cow_String::maxLength / (5 * ampersands.size()) + 1;
    std::string format = "phase=%e";
    for (size_t i = 0; i < fields; ++i) format += " heading=%s";
    const std::vector<const char*> texts(fields + 1, ampersands.c_str());
    transmitter().SetCurrentPhase("Kept");
    std::string storage;
    for (const ipm_MessageDocument* variant : {&direct, &jabber}) {
        EXPECT_THROW(build(*variant, "M", format.c_str(), {{}, {}, texts}), std::length_error);
        ipm_StringRoom room(storage);
        EXPECT_THROW(
            variant->BuildInto(room, "M", format.c_str(), nullptr, nullptr, texts.data(), false, cow_String("beam")),
            std::length_error);
    }
    EXPECT_TRUE(storage.empty());
    EXPECT_EQ(transmitter().CurrentPhase(), "Kept");

    // The C interface turns the refusal into a result and a reason.
    ipm_MessageTransmit::DestroyInstance();
    const std::string indir = "indir=" + ::testing::TempDir();
    const char* options[] = {"job=huge", "message=ALL", "listener_name=127.0.0.1", "direct_port=1", indir.c_str()};
    ASSERT_EQ(ipm_start("direct", 5, options), IPM_OK);
    EXPECT_EQ(ipm_send("M", format.c_str(), nullptr, nullptr, texts.data()), IPM_FAILED);
    EXPECT_STREQ(ipm_lastFailure(), "the message document would be longer than 2147483647 bytes");
    EXPECT_EQ(ipm_stop(), IPM_OK);
}

// Python sets the process locale at start; under a Turkish one the C
// library's tolower('I') is not 'i', and the count must not follow it.
TEST_F(DocumentTest, FormatCountAgreesWithTheBuilderUnderATurkishLocale) {
    const std::filesystem::path locales = std::filesystem::path(::testing::TempDir()) / "ipm-locales";
    std::filesystem::create_directories(locales);
    const std::string make = "localedef -i tr_TR -f ISO-8859-9 " + (locales / "tr_TR.ISO-8859-9").string();
    ASSERT_EQ(std::system(make.c_str()), 0) << "needs the locales package";
    setenv("LOCPATH", locales.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "tr_TR.ISO-8859-9"), nullptr);
    int counts[3] = {};
    const int result = ipm_countFormatValues("a=%I b=%i c=%R d=%S e=%B f=%E", &counts[0], &counts[1], &counts[2]);
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    EXPECT_EQ(result, IPM_OK);
    EXPECT_EQ(counts[0] * 100 + counts[1] * 10 + counts[2], 213);
}

TEST_F(DocumentTest, PhaseStandsUntilAPhaseFieldReplacesIt) {
    EXPECT_EQ(build(direct, "M", "phase=%e", {{}, {}, {"Mesh"}}),
              "<M><phase type=\"symconst\">Mesh</phase><jobName type=\"string\">beam</jobName></M>\n");
    EXPECT_EQ(build(direct, "M", "step=%i", {{4}, {}, {}}), one("<step type=\"integer\">4</step>", "Mesh"));
    // Another letter suppresses the trailing element without changing the phase.
    EXPECT_EQ(build(direct, "M", "phase=%s", {{}, {}, {"Other"}}),
              "<M><phase type=\"string\">Other</phase><jobName type=\"string\">beam</jobName></M>\n");
    EXPECT_EQ(transmitter().CurrentPhase(), "Mesh");
    // The last phase field of a message wins; both variants share the phase.
    build(direct, "M", "phase=%e status=%e phase=%E", {{}, {}, {"A", "Busy", "B"}});
    EXPECT_EQ(build(jabber, "M", ""), one("", "B"));
}

// The texts agree in their length and in every byte but a few, and there
// are more of them than the table of phases keeps.
TEST_F(DocumentTest, EveryPhaseSetIsTheOneReadBack) {
    const auto phase = [](int i) {
        std::string text(40, 'p');
        text[9] = static_cast<char>('a' + i % 26);
        text[10] = static_cast<char>('a' + i / 26 % 26);
        text[11] = static_cast<char>('a' + i / 676);
        return text;
    };
    // Short texts are compared a few bytes at a time: texts of each short
    // length that differ in one byte, anywhere, are each found as itself, the
    // first time and again.
    for (int pass = 0; pass < 2; ++pass)
        for (size_t length = 1; length <= 17; ++length)
            for (size_t at = 0; at <= length; ++at) {
                std::string text(length, 'q');
                if (at < length) text[at] = 'r';
                transmitter().SetCurrentPhase(cow_String(text));
                ASSERT_EQ(transmitter().CurrentPhase().view(), text) << length << ' ' << at;
            }
    for (int i = 0; i < 700; ++i) {
        transmitter().SetCurrentPhase(cow_String(phase(i)));
        ASSERT_EQ(transmitter().CurrentPhase().view(), phase(i)) << i;
    }
    for (int i : {0, 511, 699, 1}) {
        EXPECT_EQ(build(direct, "M", "phase=%e", {{}, {}, {phase(i).c_str()}}),
                  "<M><phase type=\"symconst\">" + phase(i) + "</phase><jobName type=\"string\">beam</jobName></M>\n");
        EXPECT_EQ(transmitter().CurrentPhase().view(), phase(i));
    }
}

TEST_F(DocumentTest, StartMessageAddsClientHostAndHandle) {
    omi_Singleton<omi_AlertListener>::Instance().SetHandle(4000000000u);
    EXPECT_EQ(build(jabber, "Started", "", {}, true),
              "<Started>" + context("") + "<clientHost type=\"string\">" + std::string(utl_getHostName().view()) +
                  "</clientHost><handle type=\"integer\">4000000000</handle></Started>\n");
    EXPECT_EQ(build(direct, "Started", "", {}, false), "<Started>" + context("") + "</Started>\n");
}

TEST_F(DocumentTest, FieldsReadTheirOwnCursorsAndOddDescriptorsTakeNothing) {
    const std::pair<const char*, std::string> formats[] = {
        {"a=%r b=%i c=%R", R"(<a type="float">1.5</a><b type="integer">7</b><c type="float">-2.25</c>)"},
        {"a=%S b=%b c=%e", R"(<a type="string">x</a><b type="boolean">y</b><c type="symconst">z</c>)"},
        {"n=%I", R"(<n type="integer">7</n>)"},
        {" a=%B  count%i ", R"(<a type="boolean">x</a><count%i type="integer">7</count%i>)"},
        {"x=%q z=%ii w v=% e=%E", "<x></x><z></z><w></w><v></v><e type=\"symconst\">x</e>"},
    };
    for (const auto& [format, fields] : formats)
        EXPECT_EQ(build(direct, "M", format, {{7}, {1.5, -2.25}, {"x", "y", "z"}}), one(fields)) << format;
    // Texts of every length up to past the short copies, each unlike the last.
    for (size_t length = 0; length <= 40; ++length) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + (i + length) % 26);
        EXPECT_EQ(build(direct, "M", "a=%s", {{}, {}, {text.c_str()}}), one("<a type=\"string\">" + text + "</a>"))
            << length;
    }
    // Missing arrays and texts read as 0 and the empty text.
    EXPECT_EQ(build(direct, "M", "a=%i b=%r c=%s"),
              one("<a type=\"integer\">0</a><b type=\"float\">0</b><c type=\"string\"></c>"));
    EXPECT_EQ(build(direct, nullptr, nullptr), "<>" + context("") + "</>\n");
}

TEST_F(DocumentTest, FloatsOutsideSinglePrecisionRangeAreReplacedOnlyByTheDirectVariant) {
    for (double value : {std::nan(""), HUGE_VAL, -HUGE_VAL, -1e39, 1e39}) {
        EXPECT_EQ(build(direct, "M", "v=%r", {{}, {value}, {}}), one("<v type=\"float\">3.4028234663852886e+38</v>"));
        EXPECT_EQ(build(jabber, "M", "v=%r", {{}, {value}, {}}),
                  one("<v type=\"float\">" + std::string(cow_String(value).view()) + "</v>"));
    }
    EXPECT_EQ(build(direct, "M", "v=%r", {{}, {-3.4028234663852886e38}, {}}),
              one("<v type=\"float\">-3.4028234663852886e+38</v>"));
}

}  // namespace
