#include "tools/listen/ipm_MessagePrinter.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using Mode = ipm_MessagePrinter::Mode;

const std::string progress =
    "<Progress><step type=\"integer\">3</step><heading type=\"string\">A&amp;B</heading>"
    "<phase type=\"symconst\">Analysis</phase><jobName type=\"string\">beam</jobName></Progress>\n";
const std::string broken = "<Error><message type=\"string\">a<b</message></Error>\n";

TEST(ListenPrinter, TextLines) {
    const ipm_MessagePrinter printer(Mode::text);
    const auto output = printer.Render("beam", progress);
    EXPECT_EQ(output.line, "beam Progress step=3 heading=A&B phase=Analysis jobName=beam\n");
    EXPECT_EQ(output.warning, "");

    EXPECT_EQ(printer.Render("my job", "<Note><a>x y</a><b></b><c>say \"hi\"</c><d>a\\b=c</d></Note>\n").line,
              "\"my job\" Note a=\"x y\" b=\"\" c=\"say \\\"hi\\\"\" d=\"a\\\\b=c\"\n");
    EXPECT_EQ(printer.Render("j\x01", "<Note><a>l1\nl2\tx&#13;</a><b>caf\xC3\xA9</b></Note>\n").line,
              "\"j\\x01\" Note a=\"l1\\nl2\\tx\\r\" b=caf\xC3\xA9\n");

    const auto shown = printer.Render("beam", broken);
    EXPECT_EQ(shown.line, "beam " + broken);
    EXPECT_NE(shown.warning, "");
}

TEST(ListenPrinter, RawLinesAreTheDocumentsAsReceived) {
    const ipm_MessagePrinter printer(Mode::raw);
    EXPECT_EQ(printer.Render("beam", progress).line, progress);
    const auto output = printer.Render("beam", broken);
    EXPECT_EQ(output.line, broken);
    EXPECT_EQ(output.warning, "");
}

TEST(ListenPrinter, JsonLines) {
    const ipm_MessagePrinter printer(Mode::json);
    EXPECT_EQ(printer.Render("beam", progress).line,
              R"({"job":"beam","type":"Progress","fields":[)"
              R"({"name":"step","type":"integer","value":"3"},)"
              R"({"name":"heading","type":"string","value":"A&B"},)"
              R"({"name":"phase","type":"symconst","value":"Analysis"},)"
              R"({"name":"jobName","type":"string","value":"beam"}]})"
              "\n");

    const auto shown = printer.Render("beam", broken);
    EXPECT_NE(shown.warning, "");
    const auto json = nlohmann::json::parse(shown.line);
    EXPECT_EQ(json["job"], "beam");
    EXPECT_EQ(json["raw"], broken);

    const auto badName = printer.Render("be\xFF\xFE" "am", "<Done></Done>\n").line;
    EXPECT_EQ(nlohmann::json::parse(badName)["type"], "Done");
    EXPECT_EQ(badName.back(), '\n');
}

}  // namespace
