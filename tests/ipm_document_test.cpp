#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "foundation/omi_AlertListener.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/impl/ipm_PhaseTexts.h"
#include "support/TransmitterSetup.h"

namespace {
struct Values {
    std::vector<int> integers;
    std::vector<double> doubles;
    std::vector<const char*> texts;
};

std::string build(const ipm_MessageDocument& variant, const char* type, const char* format, const Values& values = {},
                  bool started = false, const char* job = "beam") {
    return std::string(variant
                           .Build(type, format, values.integers.data(), values.doubles.data(), values.texts.data(),
                                  started, cow_String(job))
                           .view());
}

std::string context(const std::string& phase, const std::string& job = "beam") {
    return "<phase type=\"symconst\">" + phase + "</phase><jobName type=\"string\">" + job + "</jobName>";
}

std::string floatText(double value) { return std::string(cow_String(value).view()); }

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override { RestartTransmitter({}); }
    void TearDown() override { ipm_MessageTransmit::DestroyInstance(); }

    ipm_MessageTransmit& transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }
};

TEST_F(DocumentTest, ReferenceMessageComesOutByteForByteInBothVariants) {
    transmitter().SetCurrentPhase("Analysis");
    const Values values{{3}, {}, {"A&B"}};
    const std::string expected =
        "<Progress><step type=\"integer\">3</step><heading type=\"string\">A&amp;B</heading>"
        "<phase type=\"symconst\">Analysis</phase><jobName type=\"string\">beam</jobName></Progress>\n";
    EXPECT_EQ(build(ipm_MessageDocument::direct, "Progress", "step=%i heading=%s", values), expected);
    EXPECT_EQ(build(ipm_MessageDocument::jabber, "Progress", "step=%i heading=%s", values), expected);
}

TEST_F(DocumentTest, EscapesOnlyTheVariantsNamedStringFields) {
    const char* format = "heading=%s stepName=%s message=%s file=%s Heading=%s title=%s flag=%b state=%e";
    const Values values{{}, {}, {"a<b&c>d", "&amp;", "<m>", "f&g", "<H>", "<t>", "<b>", "<e>"}};
    const std::string head =
        "<T&><heading type=\"string\">a&lt;b&amp;c&gt;d</heading><stepName type=\"string\">&amp;amp;</stepName>";
    const std::string tail =
        "<Heading type=\"string\"><H></Heading><title type=\"string\"><t></title><flag type=\"boolean\"><b></flag>"
        "<state type=\"symconst\"><e></state>" +
        context("", "j<b>") + "</T&>\n";
    EXPECT_EQ(build(ipm_MessageDocument::direct, "T&", format, values, false, "j<b>"),
              head + "<message type=\"string\">&lt;m&gt;</message><file type=\"string\">f&amp;g</file>" + tail);
    EXPECT_EQ(build(ipm_MessageDocument::jabber, "T&", format, values, false, "j<b>"),
              head + "<message type=\"string\"><m></message><file type=\"string\">f&g</file>" + tail);
}

TEST_F(DocumentTest, PhaseStandsUntilAPhaseFieldReplacesIt) {
    const ipm_MessageDocument& direct = ipm_MessageDocument::direct;
    EXPECT_EQ(build(direct, "M", ""), "<M>" + context("") + "</M>\n");

    EXPECT_EQ(build(direct, "M", "phase=%e", {{}, {}, {"Mesh"}}),
              "<M><phase type=\"symconst\">Mesh</phase><jobName type=\"string\">beam</jobName></M>\n");
    EXPECT_EQ(build(direct, "M", "step=%i", {{4}, {}, {}}),
              "<M><step type=\"integer\">4</step>" + context("Mesh") + "</M>\n");

    // Another letter suppresses the trailing element without changing the phase.
    EXPECT_EQ(build(direct, "M", "phase=%s", {{}, {}, {"Other"}}),
              "<M><phase type=\"string\">Other</phase><jobName type=\"string\">beam</jobName></M>\n");
    EXPECT_EQ(transmitter().CurrentPhase(), "Mesh");

    // Only fields named "phase" set it, the last of them winning.
    build(direct, "M", "phase=%e status=%e", {{}, {}, {"Solve", "Busy"}});
    EXPECT_EQ(transmitter().CurrentPhase(), "Solve");
    build(direct, "M", "phase=%e phase=%E", {{}, {}, {"A", "B"}});
    EXPECT_EQ(build(direct, "M", ""), "<M>" + context("B") + "</M>\n");

    // The phase is the transmitter's, shared by both variants.
    EXPECT_EQ(build(ipm_MessageDocument::jabber, "M", ""), "<M>" + context("B") + "</M>\n");
}

// Past the table of kept phase texts, phases go through a locked copy; a
// kept one still takes over from it.
TEST_F(DocumentTest, EveryNewPhaseTextIsRepeatedEvenPastTheKeptOnes) {
    const ipm_MessageDocument& direct = ipm_MessageDocument::direct;
    for (size_t i = 0; i < ipm_PhaseTexts::capacity + 50; ++i) {
        const std::string phase = "Phase " + std::to_string(i);
        build(direct, "M", "phase=%e", {{}, {}, {phase.c_str()}});
        ASSERT_EQ(build(direct, "M", ""), "<M>" + context(phase) + "</M>\n");
    }
    build(direct, "M", "phase=%e", {{}, {}, {"Phase 3"}});
    EXPECT_EQ(build(direct, "M", ""), "<M>" + context("Phase 3") + "</M>\n");
    transmitter().SetCurrentPhase("");
    EXPECT_EQ(build(direct, "M", ""), "<M>" + context("") + "</M>\n");
}

// Senders that set the phase and senders that repeat it, at once: every
// repeated phase is one that was set, whole, whether kept or copied.
TEST_F(DocumentTest, ConcurrentSendersSeeWholePhases) {
    std::vector<std::string> phases;
    for (size_t i = 0; i < ipm_PhaseTexts::capacity + 100; ++i) phases.push_back("Phase number " + std::to_string(i));
    std::atomic<int> torn{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < 4; ++sender)
        senders.emplace_back([&, sender] {
            for (size_t i = 0; i < 4000; ++i) {
                const std::string& phase = phases[(i * 4 + static_cast<size_t>(sender)) % phases.size()];
                if (sender % 2 == 0) {
                    build(ipm_MessageDocument::jabber, "M", "phase=%e", {{}, {}, {phase.c_str()}});
                    continue;
                }
                const std::string document = build(ipm_MessageDocument::direct, "M", "");
                const size_t start = document.find("symconst\">") + 10;
                const std::string repeated = document.substr(start, document.find("</phase>") - start);
                if (!repeated.empty() && std::find(phases.begin(), phases.end(), repeated) == phases.end()) ++torn;
            }
        });
    for (std::thread& sender : senders) sender.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(DocumentTest, StartMessageAddsClientHostAndHandle) {
    omi_Singleton<omi_AlertListener>::Instance().SetHandle(4000000000u);
    const std::string host(utl_getHostName().view());
    ASSERT_FALSE(host.empty());
    EXPECT_EQ(build(ipm_MessageDocument::jabber, "Started", "", {}, true),
              "<Started>" + context("") + "<clientHost type=\"string\">" + host +
                  "</clientHost><handle type=\"integer\">4000000000</handle></Started>\n");
    EXPECT_EQ(build(ipm_MessageDocument::direct, "Started", "", {}, false), "<Started>" + context("") + "</Started>\n");
}

TEST_F(DocumentTest, EachArrayHasItsOwnCursorAndLettersIgnoreCase) {
    const ipm_MessageDocument& direct = ipm_MessageDocument::direct;
    EXPECT_EQ(build(direct, "C", "a=%r b=%i c=%r", {{7}, {1.5, -2.25}, {}}),
              "<C><a type=\"float\">1.5</a><b type=\"integer\">7</b><c type=\"float\">-2.25</c>" + context("") +
                  "</C>\n");
    EXPECT_EQ(build(direct, "C", "a=%s b=%b c=%e", {{}, {}, {"x", "true", "ON"}}),
              "<C><a type=\"string\">x</a><b type=\"boolean\">true</b><c type=\"symconst\">ON</c>" + context("") +
                  "</C>\n");
    EXPECT_EQ(build(direct, "C", "n=%I f=%R s=%S b=%B e=%E", {{-2147483647 - 1}, {0.1}, {"s", "false", "K"}}),
              "<C><n type=\"integer\">-2147483648</n><f type=\"float\">0.1</f><s type=\"string\">s</s>"
              "<b type=\"boolean\">false</b><e type=\"symconst\">K</e>" +
                  context("") + "</C>\n");
}

TEST_F(DocumentTest, OddFormatsAndMissingValues) {
    const ipm_MessageDocument& direct = ipm_MessageDocument::direct;
    const std::string empty = "<E>" + context("") + "</E>\n";
    EXPECT_EQ(build(direct, "E", ""), empty);
    EXPECT_EQ(build(direct, "E", " "), empty);
    EXPECT_EQ(build(direct, "E", "count%i", {{5}, {}, {}}),
              "<E><count%i type=\"integer\">5</count%i>" + context("") + "</E>\n");

    const std::string oneField = "<E><a type=\"integer\">1</a>" + context("") + "</E>\n";
    EXPECT_EQ(build(direct, "E", "a=%i ", {{1}, {}, {}}), oneField);
    EXPECT_EQ(build(direct, "E", "a=%i  b=%i", {{1, 2}, {}, {}}),
              "<E><a type=\"integer\">1</a><b type=\"integer\">2</b>" + context("") + "</E>\n");

    // An unknown letter consumes no value and leaves an empty element.
    EXPECT_EQ(build(direct, "E", "x=%q y=%i z=%ii w v=%", {{9}, {}, {}}),
              "<E><x></x><y type=\"integer\">9</y><z></z><w></w><v></v>" + context("") + "</E>\n");

    // Missing arrays and texts read as 0 and the empty text.
    EXPECT_EQ(build(direct, "E", "a=%i b=%r c=%s"),
              "<E><a type=\"integer\">0</a><b type=\"float\">0</b><c type=\"string\"></c>" + context("") + "</E>\n");
    EXPECT_EQ(build(direct, "E", "c=%s", {{}, {}, {nullptr}}),
              "<E><c type=\"string\"></c>" + context("") + "</E>\n");
    EXPECT_EQ(build(direct, nullptr, nullptr), "<>" + context("") + "</>\n");
}

TEST_F(DocumentTest, FloatsOutsideSinglePrecisionRangeAreReplacedOnlyByTheDirectVariant) {
    const double largest = 3.4028234663852886e38;
    const std::vector<double> outside = {std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(), -1e39, 1e39};
    for (double value : outside) {
        const Values values{{}, {value}, {}};
        EXPECT_EQ(build(ipm_MessageDocument::direct, "F", "v=%r", values),
                  "<F><v type=\"float\">3.4028234663852886e+38</v>" + context("") + "</F>\n")
            << value;
        EXPECT_EQ(build(ipm_MessageDocument::jabber, "F", "v=%r", values),
                  "<F><v type=\"float\">" + floatText(value) + "</v>" + context("") + "</F>\n")
            << value;
    }
    for (double value : {-largest, largest, 0.1, -1e-300, 123456789.0}) {
        const std::string expected = "<F><v type=\"float\">" + floatText(value) + "</v>" + context("") + "</F>\n";
        EXPECT_EQ(build(ipm_MessageDocument::direct, "F", "v=%r", {{}, {value}, {}}), expected);
        EXPECT_EQ(build(ipm_MessageDocument::jabber, "F", "v=%r", {{}, {value}, {}}), expected);
    }
}

// Each thread keeps the work done on a format for the next message of the
// same type and format: what counts is the format's text, not where it lies,
// and more kinds of message than are kept still come out right.
TEST_F(DocumentTest, MessagesOfManyKindsFromOneBufferComeOutRight) {
    char format[32];
    const auto expected = [](const std::string& type, int field) {
        const std::string name = "f" + std::to_string(field);
        return "<" + type + "><" + name + " type=\"integer\">" + std::to_string(field) + "</" + name + ">" +
               context("") + "</" + type + ">\n";
    };
    for (int round = 0; round < 3; ++round) {
        for (int field = 0; field < 20; ++field) {
            std::snprintf(format, sizeof format, "f%d=%%i", field);
            const std::string type = field % 2 ? "Odd" : "Even";
            EXPECT_EQ(build(ipm_MessageDocument::direct, type.c_str(), format, {{field}, {}, {}}), expected(type, field));
        }
    }
    std::snprintf(format, sizeof format, "heading=%%s");
    EXPECT_EQ(build(ipm_MessageDocument::direct, "H", format, {{}, {}, {"<"}}),
              "<H><heading type=\"string\">&lt;</heading>" + context("") + "</H>\n");
    EXPECT_EQ(build(ipm_MessageDocument::jabber, "H", "message=%s", {{}, {}, {"<"}}),
              "<H><message type=\"string\"><</message>" + context("") + "</H>\n");
    EXPECT_EQ(build(ipm_MessageDocument::direct, "H", "message=%s", {{}, {}, {"<"}}),
              "<H><message type=\"string\">&lt;</message>" + context("") + "</H>\n");
}

TEST_F(DocumentTest, LongDocumentsAreComplete) {
    std::string heading, escaped;
    for (int i = 0; i < 3000; ++i) {
        heading += "a&";
        escaped += "a&amp;";
    }
    const std::string job(5000, 'j');
    EXPECT_EQ(build(ipm_MessageDocument::direct, "L", "heading=%s", {{}, {}, {heading.c_str()}}, false, job.c_str()),
              "<L><heading type=\"string\">" + escaped + "</heading>" + context("", job) + "</L>\n");
}
}  // namespace
