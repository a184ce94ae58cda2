// The listener's parts: options, document reader and printer, the splitter of
// the direct stream and the reader of the Jabber stream.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/listen/ipm_DocumentReader.h"
#include "tools/listen/ipm_DocumentSplitter.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_MessagePrinter.h"

namespace {

using Arguments = std::vector<std::string>;
using Mode = ipm_MessagePrinter::Mode;

// The parsed options as "port bind mode killAfter help [user server resource password serverAddress]".
std::string parsed(const Arguments& arguments) {
    const auto options = ipm_ListenOptions::Parse(arguments);
    const char* modes[] = {"text", "raw", "json"};
    std::string shown = std::to_string(options.port) + " " + options.bindAddress + " " +
                        modes[static_cast<int>(options.mode)] + " " + std::to_string(options.killAfter) +
                        (options.help ? " help" : "");
    if (const auto& login = options.jabber)
        shown += " [" + login->user + " " + login->server + " " + login->resource + " " + login->password + " " +
                 login->serverAddress + "]";
    return shown;
}

TEST(ListenOptions, DefaultsAndEveryOption) {
    EXPECT_EQ(parsed({}), "0 127.0.0.1 text 0");
    EXPECT_EQ(parsed({"--port", "65535", "--bind", "0.0.0.0", "--json", "--kill-after", "3"}), "65535 0.0.0.0 json 3");
    EXPECT_EQ(parsed({"--raw", "--raw", "--help"}), "0 127.0.0.1 raw 0 help");
    EXPECT_EQ(parsed({"--jabber", "mon@localhost/desk", "--kill-after", "2"}),
              "0 127.0.0.1 text 2 [mon localhost desk mon localhost]");
    EXPECT_EQ(parsed({"--json", "--password", "", "--server-address", "10.0.0.7", "--jabber", "mon@example.org/desk/2 @home"}),
              "0 127.0.0.1 json 0 [mon example.org desk/2 @home  10.0.0.7]");
    EXPECT_EQ(ipm_ListenOptions::Parse(Arguments{"--jabber", "mon@localhost/desk"}).jabber->Address(),
              "mon@localhost/desk");
}

TEST(ListenOptions, RefusesBadArguments) {
    for (const Arguments& arguments : std::vector<Arguments>{
             {"--port"},
             {"--port", "65536"},
             {"--port", "-1"},
             {"--port", "12ab"},
             {"--port", ""},
             {"--bind", "localhost"},
             {"--bind", "1.2.3"},
             {"--raw", "--json"},
             {"--json", "--raw"},
             {"--kill-after", "0"},
             {"--kill-after", "x"},
             {"--verbose"},
             {"8080"},
             {"--jabber"},
             {"--jabber", "mon@localhost"},
             {"--jabber", "mon@localhost/"},
             {"--jabber", "@localhost/desk"},
             {"--jabber", "mon@/desk"},
             {"--jabber", "localhost/desk"},
             {"--jabber", "m<n@localhost/desk"},
             {"--jabber", "mon@local host/desk"},
             {"--jabber", "mon@localhost/de\nsk"},
             {"--jabber", "mon@localhost/desk", "--port", "0"},
             {"--bind", "127.0.0.1", "--jabber", "mon@localhost/desk"},
             {"--password", "p"},
             {"--server-address", "127.0.0.1"},
             {"--jabber", "mon@localhost/desk", "--server-address", ""},
         }) {
        EXPECT_THROW(ipm_ListenOptions::Parse(arguments), std::invalid_argument) << arguments[0];
    }
}

// The message read from `document` as "type name:type=value ...".
std::string readBack(const std::string& document) {
    std::string error;
    const auto message = ipm_DocumentReader::Read(document, error);
    if (!message) return "refused: " + error;
    std::string shown = message->type;
    for (const auto& field : message->fields) shown += " " + field.name + ":" + field.type + "=" + field.value;
    return shown;
}

TEST(ListenReader, ReadsTypeAndTypedFieldsWithValuesUnescaped) {
    EXPECT_EQ(readBack("<Progress><step type=\"integer\">3</step><heading type=\"string\">a&lt;b&amp;c&gt;d &amp;amp;"
                       "</heading><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></Progress>\n"),
              "Progress step:integer=3 heading:string=a<b&c>d &amp; phase:symconst= jobName:string=beam");
    EXPECT_EQ(readBack("<Done></Done>\n"), "Done");
    EXPECT_EQ(readBack("<Note><text>two\nlines &#38; more</text></Note>\n"), "Note text:=two\nlines & more");
}

TEST(ListenReader, RefusesWhatIsNotAMessageDocument) {
    for (const char* document : {
             "<Error><message type=\"string\">a<b</message></Error>\n",
             "<Error><message type=\"string\">salt & pepper</message></Error>\n",
             "<Progress><message type=\"string\">see </Progress> here</message></Progress>\n",
             "<Progress><step type=\"integer\">3</step>\n",
             "<Progress><step type=\"integer\"><n>3</n></step></Progress>\n",
             "<Progress>loose text<step type=\"integer\">3</step></Progress>\n",
             "",
         }) {
        std::string error;
        EXPECT_FALSE(ipm_DocumentReader::Read(document, error)) << document;
        EXPECT_FALSE(error.empty()) << document;
    }
    std::string error;
    ipm_DocumentReader::Read("<Error><message type=\"string\">a<b</message></Error>\n", error);
    EXPECT_NE(error.find("line 1, column"), std::string::npos) << error;
}

TEST(ListenReader, RefusesEntityDeclarations) {
    EXPECT_EQ(readBack("<!DOCTYPE B [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;\">]><B><v type=\"string\">&b;</v></B>\n"),
              "refused: document type declaration refused");
}

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

using Piece = ipm_DocumentSplitter::Piece;
using Kind = Piece::Kind;

const std::string done = "<Done><jobName type=\"string\">beam</jobName></Done>\n";

std::vector<Piece> feedInChunks(ipm_DocumentSplitter& splitter, const std::string& bytes, std::size_t chunk) {
    std::vector<Piece> all;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        for (auto& piece : splitter.Feed(std::string_view(bytes).substr(at, chunk))) all.push_back(std::move(piece));
    }
    return all;
}

std::vector<std::string> texts(const std::vector<Piece>& pieces, Kind kind) {
    std::vector<std::string> selected;
    for (const auto& piece : pieces) {
        if (piece.kind == kind) selected.push_back(piece.text);
    }
    return selected;
}

using Texts = std::vector<std::string>;

TEST(ListenSplitter, NameThenDocumentsWhateverTheChunking) {
    for (const std::size_t chunk : {1, 2, 7, 64, 100000}) {
        ipm_DocumentSplitter splitter;
        const auto pieces = feedInChunks(splitter, "beam" + progress + done, chunk);
        ASSERT_EQ(pieces.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(pieces[0].kind, Kind::jobName);
        EXPECT_EQ(pieces[0].text, "beam");
        EXPECT_EQ(texts(pieces, Kind::document), (Texts{progress, done})) << "chunk " << chunk;
        EXPECT_EQ(splitter.PendingBytes(), 0u);
    }
    std::string stream = "beam";
    for (int i = 0; i < 500; ++i) stream += i % 2 ? progress : done;
    ipm_DocumentSplitter splitter;
    const auto documents = texts(splitter.Feed(stream), Kind::document);
    ASSERT_EQ(documents.size(), 500u);
    EXPECT_EQ(documents[499], progress);
}

TEST(ListenSplitter, NameIsKnownAsFarAsItArrived) {
    ipm_DocumentSplitter splitter;
    EXPECT_TRUE(splitter.Feed("be").empty());
    EXPECT_TRUE(splitter.Feed("am").empty());
    EXPECT_EQ(splitter.JobName(), "beam");
    EXPECT_FALSE(splitter.HasJobName());
    EXPECT_EQ(texts(splitter.Feed("<"), Kind::jobName), Texts{"beam"});
    EXPECT_TRUE(splitter.HasJobName());

    ipm_DocumentSplitter unnamed;
    const auto pieces = unnamed.Feed(done);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].kind, Kind::jobName);
    EXPECT_EQ(pieces[0].text, "");
    EXPECT_EQ(pieces[1].text, done);
}

TEST(ListenSplitter, UnescapedValuesDoNotMoveTheCut) {
    const std::string lessThan = "<Error><message type=\"string\">a<b && c</message></Error>\n";
    const std::string endTagInValue = "<Progress><message type=\"string\">see </Progress> here</message></Progress>\n";
    const std::string lineFeedInValue = "<Note><message type=\"string\">one\n<two>\n</message></Note>\n";
    ipm_DocumentSplitter splitter;
    const auto pieces = feedInChunks(splitter, "beam" + lessThan + endTagInValue + lineFeedInValue + done, 3);
    EXPECT_EQ(texts(pieces, Kind::document), (Texts{lessThan, endTagInValue, lineFeedInValue, done}));
    EXPECT_TRUE(texts(pieces, Kind::warning).empty());
}

TEST(ListenSplitter, EndTagAndLineFeedInsideAValueCutEarlyButTheNextDocumentSurvives) {
    ipm_DocumentSplitter splitter;
    const auto pieces =
        splitter.Feed("beam<Progress><message type=\"string\">x</Progress>\n</message></Progress>\n" + done);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[1].text, "<Progress><message type=\"string\">x</Progress>\n");
    EXPECT_EQ(pieces[2].kind, Kind::warning);
    EXPECT_EQ(pieces[3].kind, Kind::document);
    EXPECT_EQ(pieces[3].text, done);
}

TEST(ListenSplitter, BytesBetweenDocuments) {
    ipm_DocumentSplitter tolerant;
    EXPECT_EQ(texts(tolerant.Feed("beam" + progress + "\r\n \n" + done), Kind::document), (Texts{progress, done}));

    ipm_DocumentSplitter splitter;
    const auto pieces = feedInChunks(splitter, "beam" + progress + "junk\n</x>\nmore junk\n<" + "\n" + done, 5);
    EXPECT_EQ(texts(pieces, Kind::document), (Texts{progress, done}));
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u) << "one warning per loss of the thread";
}

TEST(ListenSplitter, EndlessBytesAreCappedAndTheStreamRecovers) {
    constexpr std::size_t cap = 1024;
    ipm_DocumentSplitter splitter(cap);
    std::vector<Piece> pieces = splitter.Feed("beam<Progress><message type=\"string\">");
    const std::string chunk(100, 'x');
    for (int i = 0; i < 1000; ++i) {
        for (auto& piece : splitter.Feed(chunk)) pieces.push_back(std::move(piece));
        ASSERT_LE(splitter.PendingBytes(), cap + chunk.size());
    }
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u);
    EXPECT_TRUE(texts(pieces, Kind::document).empty());
    EXPECT_EQ(texts(splitter.Feed("</message></Progress>\n" + progress), Kind::document), Texts{progress});

    ipm_DocumentSplitter unbroken(cap);
    const auto tooLong = "<Note><message type=\"string\">" + std::string(2 * cap, 'y') + "</message></Note>\n";
    const auto dropped = unbroken.Feed("beam" + tooLong + done);
    EXPECT_EQ(texts(dropped, Kind::warning).size(), 1u);
    EXPECT_EQ(texts(dropped, Kind::document), Texts{done});

    ipm_DocumentSplitter byDefault;
    byDefault.Feed("beam<Progress>");
    const std::string large(64 * 1024, 'z');
    std::size_t warnings = 0;
    for (int i = 0; i < 40; ++i) {
        warnings += texts(byDefault.Feed(large), Kind::warning).size();
        ASSERT_LE(byDefault.PendingBytes(), ipm_DocumentSplitter::defaultMaxDocument + large.size());
    }
    EXPECT_EQ(warnings, 1u);
    EXPECT_EQ(texts(byDefault.Feed("\n" + done), Kind::document), Texts{done});
}

TEST(ListenSplitter, OverlongNameIsCutShort) {
    ipm_DocumentSplitter splitter;
    std::vector<Piece> pieces;
    for (int i = 0; i < 10; ++i) {
        for (auto& piece : splitter.Feed(std::string(1000, 'n'))) pieces.push_back(std::move(piece));
    }
    for (auto& piece : splitter.Feed(done)) pieces.push_back(std::move(piece));
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u);
    EXPECT_EQ(texts(pieces, Kind::jobName), Texts{std::string(ipm_DocumentSplitter::maxJobName, 'n')});
    EXPECT_EQ(texts(pieces, Kind::document), Texts{done});
}

}  // namespace
