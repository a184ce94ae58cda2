// The scripted job ipm-job against the listener ipm-listen, both as programs.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// The listener on a free loopback port, printing documents as received.
class Listener : public ChildProcess {
public:
    Listener() : ChildProcess({IPM_LISTEN_PATH, "--port", "0", "--raw"}) {
        const std::string announcement = "listening on 127.0.0.1:";
        const std::optional<std::string> first = OutputLine();
        if (first && first->starts_with(announcement)) port = first->substr(announcement.size());
    }

    std::string port;
};

std::vector<std::string> jobArguments(const std::string& port, const TempDir& dir) {
    return {IPM_JOB_PATH,        "job=beam",        "message=ALL", "indir=" + dir.Path(), "listener_name=127.0.0.1",
            "direct_port=" + port};
}

std::string progress(int step) {
    return R"({"send":"buffered","type":"Progress","format":"step=%i","ints":[)" + std::to_string(step) + "]}\n";
}

std::string stepOf(int step) { return "<step type=\"integer\">" + std::to_string(step) + "</step>"; }

// The documents the listener prints, each checked to hold `expected[i]`.
void expectDocuments(Listener& listener, const std::vector<std::string>& expected) {
    for (const std::string& piece : expected) {
        const std::optional<std::string> line = listener.OutputLine();
        ASSERT_TRUE(line) << "no document holding " << piece;
        EXPECT_NE(line->find(piece), std::string::npos) << *line;
    }
}

size_t count(const std::string& text, const std::string& piece) {
    size_t found = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
    return found;
}

TEST(JobTool, ScriptedMessagesReachTheListenerInOrderAndAKillEndsTheJob) {
    Listener listener;
    ASSERT_FALSE(listener.port.empty());
    TempDir dir;
    ChildProcess job(jobArguments(listener.port, dir));
    job.Write(progress(1) + progress(2) +
              R"({"send":"buffered","type":"Progress","format":"step=%i heading=%s value=%r","ints":[3],)"
              R"("doubles":["nan"],"texts":["A&B"]})" "\n" +
              progress(4) + "{\"sleep\":1500}\n" +
              R"({"send":"direct","type":"Done","format":"steps=%i","ints":[4]})" "\n");
    job.CloseInput();

    EXPECT_EQ(job.Wait(), 0) << job.Errors();
    EXPECT_EQ(job.Errors(), "");
    expectDocuments(listener, {stepOf(1), stepOf(2), stepOf(3) + "<heading type=\"string\">A&amp;B</heading>",
                               stepOf(4), "<Done><steps type=\"integer\">4</steps>"});
    // Direct messages bypass the log.
    const std::string log = dir.Read("beam.ipm");
    EXPECT_EQ(count(log, "<Progress>"), 4u);
    EXPECT_EQ(count(log, "<Done>"), 0u);

    // A kill from the listener ends a job that waits for input with status 3.
    ChildProcess waiting(jobArguments(listener.port, dir));
    waiting.Write(progress(5));
    expectDocuments(listener, {stepOf(5)});
    listener.Write("kill beam\n");
    EXPECT_EQ(waiting.Wait(), 3) << waiting.Errors();
}

// Which lines are bad is the command reader's test; here, how the program reports and skips them.
TEST(JobTool, BadLinesAreReportedWithTheirNumbersAndSkipped) {
    Listener listener;
    TempDir dir;
    ChildProcess job(jobArguments(listener.port, dir));
    job.Write("{\"sleep\":1}\n"
              "not json\n"
              "\n"
              R"({"send":"buffered","type":"Progress","format":"a=%i b=%i","ints":[1]})" "\n" +
              std::string(1 << 21, 'x') + "\n" + progress(9));
    job.CloseInput();

    EXPECT_EQ(job.Wait(), 2);
    const std::string& errors = job.Errors();
    for (int bad : {2, 4, 5}) EXPECT_NE(errors.find("line " + std::to_string(bad) + ":"), std::string::npos) << errors;
    for (int good : {1, 3, 6}) EXPECT_EQ(errors.find("line " + std::to_string(good) + ":"), std::string::npos) << errors;
    EXPECT_NE(errors.find("line 4: the format needs 2 ints"), std::string::npos) << errors;
    EXPECT_NE(errors.find("line 5: longer than"), std::string::npos) << errors;
    expectDocuments(listener, {stepOf(9)});
}

TEST(JobTool, AnUnknownTransportOrAMissingTransportOptionIsAUsageError) {
    TempDir dir;
    std::vector<std::string> pigeon = jobArguments("1", dir);
    pigeon.insert(pigeon.begin() + 1, {"-transport", "pigeon"});
    ChildProcess unknown(pigeon);
    EXPECT_EQ(unknown.Wait(), 1);
    EXPECT_NE(unknown.Errors().find("unknown transport \"pigeon\""), std::string::npos) << unknown.Errors();

    ChildProcess jabber({IPM_JOB_PATH, "-transport", "jabber", "job=beam", "message=ALL", "indir=" + dir.Path(),
                         "listener_name=mon"});
    EXPECT_EQ(jabber.Wait(), 1);
    EXPECT_NE(jabber.Errors().find("needs msgserver="), std::string::npos) << jabber.Errors();
    EXPECT_NE(jabber.Errors().find("needs listener_resource="), std::string::npos) << jabber.Errors();
    EXPECT_EQ(jabber.Errors().find("needs listener_name="), std::string::npos) << jabber.Errors();

    ChildProcess direct({IPM_JOB_PATH, "job=beam", "message=ALL", "indir=" + dir.Path(), "listener_name=127.0.0.1"});
    EXPECT_EQ(direct.Wait(), 1);
    EXPECT_NE(direct.Errors().find("needs direct_port="), std::string::npos) << direct.Errors();
    EXPECT_FALSE(dir.Exists("beam.ipm"));
}

}  // namespace
