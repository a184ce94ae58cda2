// The listener's parts: options, document reader and printer, the splitter of
// the direct stream, the overall memory bound, the reader of the Jabber stream
// and the copying of the history's log.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "jcl/jcl_Node.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/ingest/ipm_DocumentSplitter.h"
#include "tools/listen/web/ipm_EventHub.h"
#include "tools/listen/ingest/ipm_HeldBytesBound.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_MessagePrinter.h"
#include "tools/listen/ipm_OutputWriter.h"
#include "tools/listen/store/ipm_HistoryCheckpoint.h"
#include "tools/listen/store/ipm_JobRecord.h"
#include "tools/listen/store/ipm_MessageRecord.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace {

using Texts = std::vector<std::string>;
using Mode = ipm_MessagePrinter::Mode;

TEST(ListenOptions, EveryOptionAndTheRefusals) {
    const auto options = ipm_ListenOptions::Parse({"--port", "65535", "--json", "--kill-after", "3", "--jabber",
                                                   "mon@example.org/desk/2", "--http", "0.0.0.0:8080", "--token", "t-1"});
    EXPECT_TRUE(options.direct) << "--port with --jabber takes jobs on both";
    EXPECT_EQ(options.http->address + ":" + std::to_string(options.http->port) + " " + options.database,
              "0.0.0.0:8080 ipm-listen.db");
    EXPECT_FALSE(ipm_ListenOptions::Parse({"--jabber", "mon@localhost/desk"}).direct);
    EXPECT_EQ(ipm_ListenOptions::Parse({}).database, "") << "no history unless asked for";
    EXPECT_EQ(ipm_ListenOptions::Parse({"--silent-after", "5"}).silentAfter, std::chrono::seconds(5));

    for (const Texts& arguments : std::vector<Texts>{
             {"--port", "12ab"}, {"--bind", "localhost"}, {"--raw", "--json"}, {"--kill-after", "0"}, {"8080"},
             {"--jabber", "m<n@localhost/desk"}, {"--jabber", "mon@localhost/de\nsk"}, {"--http", "localhost:80"},
             {"--token", "a b"}, {"--token", "t"}, {"--import", "a.ipm", "--http", "0"}, {"--job", "x"}, {"--silent-after", "0"}})
        EXPECT_THROW(ipm_ListenOptions::Parse(arguments), std::invalid_argument) << arguments[0];

    // Secrets on the command line are seen by every user: a warning each; the environment is quiet.
    EXPECT_EQ(ipm_ListenOptions::Parse({"--jabber", "m@s/r", "--password", "p", "--http", "0", "--token", "t"})
                  .warnings.size(), 2u);
    ::setenv("IPM_MONITOR_TOKEN", "from-env", 1);
    const auto quiet = ipm_ListenOptions::Parse({"--http", "0"});
    EXPECT_EQ(quiet.token + " " + std::to_string(quiet.warnings.size()), "from-env 0");
    EXPECT_EQ(ipm_ListenOptions::Parse({"--http", "0", "--token", "given"}).token, "given");
    ::setenv("IPM_MONITOR_TOKEN", "bad token", 1);
    EXPECT_THROW(ipm_ListenOptions::Parse({"--http", "0"}), std::invalid_argument);
    ::unsetenv("IPM_MONITOR_TOKEN");
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

TEST(ListenReader, ReadsTypedFieldsUnescapedAndRefusesTheRest) {
    EXPECT_EQ(readBack("<Progress><step type=\"integer\">3</step><heading type=\"string\">a&lt;b&amp;c&gt;d &amp;amp;"
                       "</heading><phase type=\"symconst\"></phase></Progress>\n"),
              "Progress step:integer=3 heading:string=a<b&c>d &amp; phase:symconst=");
    EXPECT_EQ(readBack("<Note><text>two\nlines &#38; more</text></Note>\n"), "Note text:=two\nlines & more");
    EXPECT_EQ(readBack("<Step done><steps type=\"integer\">3</steps></Step done>\n"), "Step done steps:integer=3");
    for (const char* document : {"<E><m>a<b</m></E>\n", "<P><s><n>3</n></s></P>\n", "<P>loose<s>3</s></P>\n", ""})
        EXPECT_TRUE(readBack(document).starts_with("refused: ")) << document;
    EXPECT_EQ(readBack("<!DOCTYPE B [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;\">]><B><v type=\"string\">&b;</v></B>\n"),
              "refused: document type declaration refused");
    // The reader's parser serves document after document: a refusal leaves nothing behind.
    EXPECT_EQ(readBack("<P><s type=\"integer\">4</s></P>\n"), "P s:integer=4");
    // Read one after another by a parser kept open: two documents in one are still refused, and a
    // stream longer than the parser keeps open, of names never seen before, reads as each alone.
    EXPECT_TRUE(readBack("<P><s>1</s></P><P><t>2</t></P>\n").starts_with("refused: ")) << "two roots";
    EXPECT_TRUE(readBack("<P><s>1</s></P><Q></Q></P>\n").starts_with("refused: ")) << "a root closed early";
    for (int i = 0; i < 20000; i += 7) {
        const std::string name = "field" + std::to_string(i) + "_" + std::string(40, 'x');
        ASSERT_EQ(readBack("<P><" + name + " type=\"integer\">" + std::to_string(i) + "</" + name + "></P>\n"),
                  "P " + name + ":integer=" + std::to_string(i));
    }

    // A Jabber report is read as the connection parsed it: one document inside its extension element.
    std::string error;
    const auto report = jcl_Node::Parse("<x xmlns='kelvane:msg'><Note><t type='string'>a&amp;b</t></Note>\n</x>", error);
    ASSERT_TRUE(report) << error;
    const auto note = ipm_DocumentReader::ReadInside(*report, error);
    ASSERT_TRUE(note) << error;
    EXPECT_EQ(note->type + " " + note->fields.at(0).name + "=" + note->fields.at(0).value, "Note t=a&b");
    for (const char* x : {"<x><A/><B/></x>", "<x>Kill</x>", "<x/>", "<x><P><s><n/></s></P></x>"}) {
        const auto refused = jcl_Node::Parse(x, error);
        EXPECT_FALSE(ipm_DocumentReader::ReadInside(*refused, error)) << x;
    }
}

TEST(ListenRecord, FieldsAsTypedJsonOnceEachWhateverTheirNumber) {
    ipm_DocumentReader::Message message{"P", {{"step", "integer", "007"}, {"r", "float", "2.50"}, {"n", "float", "-inf"},
                                              {"h", "string", "a\"b\xFF"}, {"step", "integer", "8"},
                                              {"x", "integer", "1.5"}, {"q", "float", "5."}}};
    const ipm_MessageRecord record = ipm_MessageRecord::From(message);
    EXPECT_EQ(record.fields, R"({"step":8,"r":2.50,"n":"-inf","h":"a\"b)" "\xEF\xBF\xBD" R"(","x":"1.5","q":5.0})")
        << "a repeated name keeps its first place and its last value; a number is written afresh only when its "
           "text is not JSON's";
    EXPECT_EQ(nlohmann::json::parse(record.types)["x"], "integer");
    // The types follow each message, whatever the one before.
    message.fields.back().type = "integer";
    EXPECT_EQ(nlohmann::json::parse(ipm_MessageRecord::From(message).types)["q"], "integer");
    message.fields.pop_back();
    EXPECT_FALSE(nlohmann::json::parse(ipm_MessageRecord::From(message).types).contains("q"));
    EXPECT_EQ(nlohmann::json::parse(ipm_MessageRecord::From(message).types).size(), 5u);

    // One message of very many fields, each found once.
    message.fields.clear();
    constexpr int many = 120000;
    for (int i = 0; i < many; ++i) message.fields.push_back({std::to_string(i % (many / 2)), "integer", "1"});
    EXPECT_EQ(nlohmann::json::parse(ipm_MessageRecord::From(message).fields).size(), static_cast<std::size_t>(many / 2));
}

// A job's state from what it sent: silence by its own pace, its progress,
// and how it ended.
TEST(ListenRecord, AJobsStateFollowsWhatItSent) {
    const auto message = [](const std::string& type, std::vector<ipm_DocumentReader::Field> fields = {}) {
        return ipm_DocumentReader::Message{type, std::move(fields)};
    };
    ipm_JobRecord job;
    job.started = 1000;
    EXPECT_FALSE(job.FallenSilent(60999, 60000));
    EXPECT_TRUE(job.FallenSilent(61000, 60000)) << "no message at all for the floor";
    // Every 10 s, one 40 s gap among them: the median holds, silent after 100 s.
    for (const std::int64_t at : {0, 10000, 20000, 60000, 70000, 80000}) job.Count(message("P"), at);
    EXPECT_FALSE(job.FallenSilent(179999, 60000));
    EXPECT_TRUE(job.FallenSilent(180000, 60000));
    EXPECT_TRUE(job.FallenSilent(180000, 1000)) << "however low the floor";
    job.state = "silent";
    EXPECT_TRUE(job.NeedsLook());
    job.Count(message("P", {{"step", "integer", "3"}, {"steps", "integer", "12"}}), 90000);
    EXPECT_EQ(job.state, "running") << "with its next message";
    EXPECT_EQ(job.progress, 0.25);
    job.Count(message("P", {{"fraction", "float", "0.5"}, {"step", "integer", "1"}, {"steps", "integer", "0"}}), 91000);
    EXPECT_EQ(job.progress, 0.5) << "fraction first";
    job.Count(message("P", {{"fraction", "float", "1.5"}}), 92000);
    EXPECT_EQ(job.progress, 0.5) << "beyond the end tells nothing";
    job.Count(message("P", {{"step", "integer", "1"}, {"steps", "float", "inf"}}), 93000);
    EXPECT_EQ(job.progress, 0.5) << "nor a count that is not finite";

    const auto ended = [&](const std::vector<ipm_DocumentReader::Message>& last, const std::string& stop = "") {
        ipm_JobRecord record;
        record.stopOutcome = stop;
        for (const auto& sent : last) record.Count(sent, 1);
        record.End(2);
        return record.state;
    };
    const auto answered = [&](const std::string& name, const std::string& outcome) {
        return message("RequestAnswered", {{"id", "integer", "1"}, {"name", "string", name},
                                           {"outcome", "string", outcome}, {"text", "string", ""}});
    };
    EXPECT_EQ(ended({message("P")}), "crashed");
    EXPECT_EQ(ended({message("P"), message("JobEnded")}), "finished");
    EXPECT_EQ(ended({answered("stop", "done"), message("JobEnded")}), "stopped");
    EXPECT_EQ(ended({answered("stop", "done"), answered("stop", "refused"), message("JobEnded")}), "finished");
    EXPECT_EQ(ended({answered("checkpoint", "done"), message("JobEnded")}), "finished");
    EXPECT_EQ(ended({message("P")}, "sent"), "killed");
    EXPECT_EQ(ended({message("JobEnded")}, "sent"), "killed");
}

const std::string progress =
    "<Progress><step type=\"integer\">3</step><heading type=\"string\">A&amp;B</heading>"
    "<phase type=\"symconst\">Analysis</phase><jobName type=\"string\">beam</jobName></Progress>\n";
// A value that would print a second, forged line if it were not escaped.
const std::string forging =
    "<Note><message type=\"string\">x\nother Progress step=1</message><time type=\"float\">nan</time></Note>\n";

TEST(ListenPrinter, OneLinePerMessageInEveryMode) {
    const ipm_MessagePrinter text(Mode::text);
    EXPECT_EQ(text.Render("beam", progress).line, "beam Progress step=3 heading=A&B phase=Analysis jobName=beam\n");
    EXPECT_EQ(text.Render("j\x01", forging).line, "\"j\\x01\" Note message=\"x\\nother Progress step=1\" time=nan\n");
    EXPECT_EQ(text.Render("a\"b", "<P><v type=\"string\">c\\d</v></P>\n").line, "\"a\\\"b\" P v=\"c\\\\d\"\n");
    const auto unread = text.Render("beam", "<Error><message>a<b\r\nforged</message></Error>\n");
    EXPECT_EQ(unread.line, "beam <Error><message>a<b\\r\\nforged</message></Error>\n");
    EXPECT_NE(unread.warning, "");

    const ipm_MessagePrinter raw(Mode::raw);
    EXPECT_EQ(raw.Render("beam", progress).line, "beam " + progress);
    EXPECT_EQ(raw.Render("beam", forging).line,
              "beam <Note><message type=\"string\">x\\nother Progress step=1</message><time type=\"float\">nan</time>"
              "</Note>\n");

    const ipm_MessagePrinter json(Mode::json);
    EXPECT_EQ(json.Render("beam", progress).line.substr(0, 133),
              R"({"job":"beam","type":"Progress","fields":[{"name":"step","type":"integer","value":3},)"
              R"({"name":"heading","type":"string","value":"A&B"})");
    EXPECT_EQ(nlohmann::json::parse(json.Render("beam", forging).line)["fields"][1]["value"], "nan");
    EXPECT_EQ(nlohmann::json::parse(json.Render("beam", "<P><n type=\"integer\">3abc</n></P>\n").line)["fields"][0]["value"],
              "3abc");
    EXPECT_EQ(nlohmann::json::parse(json.Render("be\xFF" "am", "<Done></Done>\n").line)["type"], "Done");
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

Texts texts(const std::vector<Piece>& pieces, Kind kind) {
    Texts selected;
    for (const auto& piece : pieces) {
        if (piece.kind == kind) selected.push_back(piece.text);
    }
    return selected;
}

TEST(ListenSplitter, NameThenDocumentsWhateverTheChunkingAndTheValues) {
    const std::string lessThan = "<Error><message type=\"string\">a<b && c</message></Error>\n";
    const std::string endTagInValue = "<Progress><message type=\"string\">see </Progress> here</message></Progress>\n";
    const std::string lineFeedInValue = "<Note><message type=\"string\">one\n<two>\n</message></Note>\n";
    const std::string blankInType = "<Step done><steps type=\"integer\">3</steps></Step done>\n";
    const std::string stream =
        "beam" + progress + blankInType + lessThan + endTagInValue + lineFeedInValue + "\r\n \n" + done;
    for (const std::size_t chunk : {1, 3, 7, 100000}) {
        ipm_DocumentSplitter splitter;
        const auto pieces = feedInChunks(splitter, stream, chunk);
        EXPECT_EQ(texts(pieces, Kind::jobName), Texts{"beam"});
        EXPECT_EQ(texts(pieces, Kind::document),
                  (Texts{progress, blankInType, lessThan, endTagInValue, lineFeedInValue, done}))
            << "chunk " << chunk;
        EXPECT_FALSE(splitter.EndOfStream()) << "ended between documents";
    }
    // A stream cut inside a document says so, once.
    ipm_DocumentSplitter cut;
    EXPECT_EQ(texts(cut.Feed("beam" + done + done.substr(0, 20)), Kind::document), Texts{done});
    const auto truncated = cut.EndOfStream();
    ASSERT_TRUE(truncated);
    EXPECT_EQ(truncated->text, "it ends inside a document: 20 bytes left out");
    EXPECT_FALSE(cut.EndOfStream());
    ipm_DocumentSplitter junk;
    const auto pieces = feedInChunks(junk, "beam" + progress + "junk\n</x>\nmore junk\n<" + "\n" + done, 5);
    EXPECT_EQ(texts(pieces, Kind::document), (Texts{progress, done}));
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u) << "one warning per loss of the thread";
}

TEST(ListenSplitter, EndlessBytesAreCappedAndTheStreamRecoversAndAllTogetherAreBounded) {
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

    // Over all connections: the largest holders go until the rest fit the overall bound.
    EXPECT_EQ(ipm_HeldBytesBound::ToDrop({10, 50, 30}, 90), (std::vector<std::size_t>{}));
    EXPECT_EQ(ipm_HeldBytesBound::ToDrop({10, 50, 30}, 9), (std::vector<std::size_t>{1, 2, 0}));
    // 400 connections at the per-connection cap exceed the overall bound.
    const std::vector<std::size_t> full(400, ipm_DocumentSplitter::defaultMaxDocument);
    EXPECT_EQ(ipm_HeldBytesBound::ToDrop(full).size(),
              400 - ipm_HeldBytesBound::defaultTotal / ipm_DocumentSplitter::defaultMaxDocument);

    // A monitor reader that falls too far behind is cut off, never handed a gap.
    ipm_EventHub hub;
    const auto slow = hub.Join(), keeping = hub.Join();
    const std::string event(100000, 'x');
    std::string events;
    for (std::size_t sent = 0; sent <= ipm_EventHub::maxBacklog; sent += event.size()) {
        hub.Publish("message", event);
        ASSERT_TRUE(hub.Take(keeping, events, std::chrono::milliseconds(0)));
    }
    EXPECT_FALSE(hub.Take(slow, events, std::chrono::milliseconds(0)));
}

}  // namespace

namespace {

int autoCopyPages(sqlite3* database) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database, "PRAGMA wal_autocheckpoint", -1, &statement, nullptr);
    const int pages = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
    sqlite3_finalize(statement);
    return pages;
}

// How many times the log has started over: its header's checkpoint
// sequence, a big-endian number at byte 12.
unsigned logStarts(const TempDir& directory, const std::string& name) {
    const std::string header = directory.Read(name + "-wal").substr(0, 16);
    unsigned starts = 0;
    for (std::size_t at = 12; at < header.size(); ++at) starts = starts << 8 | static_cast<unsigned char>(header[at]);
    return starts;
}

}  // namespace

// The log is copied into the database by the checkpoint's own thread while
// the writer goes on committing, and starts over instead of growing; the
// writer copies by itself again once the checkpoint has gone.
TEST(ListenCheckpoint, TheLogIsCopiedBesideTheWriterAndStartsOverInsteadOfGrowing) {
    TempDir directory;
    const std::string file = directory.File("history.db");
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "PRAGMA page_size = 4096; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
                           "CREATE TABLE rows(content BLOB NOT NULL);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::mutex writes;
    const auto commit = [&] {
        std::lock_guard held(writes);
        ASSERT_EQ(sqlite3_exec(writer, "INSERT INTO rows VALUES(zeroblob(3000))", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    };
    const auto size = [&](const std::string& name) {
        return std::filesystem::exists(name) ? std::filesystem::file_size(name) : 0;
    };
    constexpr int logPages = 16;
    {
        ipm_HistoryCheckpoint checkpoint(file, writer, writes, logPages);
        EXPECT_EQ(autoCopyPages(writer), 0) << "the writer no longer copies";
        // Commits follow one another without a pause, so that copies made
        // beside them never find the log copied whole: only the copy with
        // writes held lets it start over.
        for (int row = 0; row < 3000; ++row) commit();
        EXPECT_GT(logStarts(directory, "history.db"), 0u) << "the log started over";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (size(file) < 2000 * 3000 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_GE(size(file), 2000 * 3000) << "most rows copied into the database while the writer stays open";
    }
    EXPECT_EQ(autoCopyPages(writer), ipm_HistoryCheckpoint::defaultLogPages);
    sqlite3_close(writer);
}

// Standard output is written beside the loop: in order across the hand-overs
// and the bound on what waits, a failed stream thrown by the next call and
// told at once, and a reader that never reads costs the end only its bound.
TEST(ListenOutput, WritesInOrderBesideTheCallerAndTellsAFailedStreamAtOnce) {
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::FILE* stream = ::fdopen(ends[1], "w");
    std::string received;
    std::atomic<size_t> receivedBytes{0};
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
            received.append(buffer, static_cast<size_t>(got));
            receivedBytes += static_cast<size_t>(got);
        }
    });
    std::string sent;
    {
        ipm_OutputWriter writer(stream, "the pipe");
        for (int line = 0; sent.size() < 3 * ipm_OutputWriter::maxWaiting; ++line) {
            const std::string text = "line " + std::to_string(line) + std::string(static_cast<size_t>(line % 300), 'x') + "\n";
            writer.Append(text);
            sent += text;
            if (line % 1000 == 0) writer.Flush();
        }
        writer.Flush();
        ASSERT_TRUE(WaitUntil([&] { return receivedBytes == sent.size(); }));
        // Over the bound behind less than a hand-over, with no flush asked.
        for (const std::string& text : {std::string("last line\n"), std::string(ipm_OutputWriter::maxWaiting, 'y')}) {
            writer.Append(text);
            sent += text;
        }
        EXPECT_EQ(writer.Finish(std::chrono::seconds(10)), "");
    }
    std::fclose(stream);
    reader.join();
    EXPECT_TRUE(received == sent) << received.size() << " bytes of " << sent.size();

    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    stream = ::fdopen(ends[1], "w");
    {
        ipm_OutputWriter writer(stream, "the pipe");
        std::atomic<bool> told{false};
        writer.OnFailure([&] { told = true; });
        writer.Append("nobody reads this\n");
        writer.Flush();
        EXPECT_TRUE(WaitUntil([&] { return told.load(); }));
        EXPECT_THROW(writer.Append("more\n"), std::runtime_error);
        EXPECT_EQ(writer.Finish(std::chrono::seconds(10)), "cannot write to the pipe: Broken pipe");
    }
    std::fclose(stream);

    ASSERT_EQ(::pipe(ends), 0);
    stream = ::fdopen(ends[1], "w");
    {
        ipm_OutputWriter writer(stream, "the pipe");
        writer.Append(std::string(1 << 20, 'z'));
        writer.Flush();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(writer.Finish(std::chrono::milliseconds(200)), "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "the end waited on the reader";
    }
    // The thread left in its write fails once the reading end goes, and ends.
    ::close(ends[0]);
}
