// Runs the ipm-listen program against plain sockets and the scripted job
// acting as jobs, and its monitor through its HTTP interface.
#include <signal.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

const std::string started =
    "<Started><jobName type=\"string\">beam</jobName><clientHost type=\"string\">node1</clientHost>"
    "<handle type=\"integer\">77</handle></Started>\n";
const std::string progress =
    "<Progress><step type=\"integer\">3</step><residual type=\"float\">2.5e-06</residual><heading type=\"string\">"
    "A&amp;B</heading><phase type=\"symconst\">Analysis</phase></Progress>\n";
const std::string progressLine = "Progress step=3 residual=2.5e-06 heading=A&B phase=Analysis";

int portAfter(const std::string& prefix, const std::string& line) {
    return line.starts_with(prefix) ? std::atoi(line.c_str() + prefix.size()) : 0;
}

// The listener with `options`; with "--http" first, its monitor's port too.
class Listener : public ChildProcess {
public:
    explicit Listener(std::vector<std::string> options) : ChildProcess(withProgram(options)) {
        port = portAfter("listening on 127.0.0.1:", Line());
        if (!options.empty() && options[0] == "--http") monitor = portAfter("monitor at http://127.0.0.1:", Line());
    }
    std::string Line() { return OutputLine().value_or("(no line)"); }
    static std::vector<std::string> withProgram(std::vector<std::string> options) {
        options.insert(options.begin(), IPM_LISTEN_PATH);
        return options;
    }
    int port = 0, monitor = 0;
};

// A job's connection to the listener.
loopback::Peer job(int port) { return loopback::Peer(loopback::Connect(port)); }

Json get(int port, const std::string& path) {
    const auto answer = httplib::Client("127.0.0.1", port).Get(path.c_str());
    return answer ? Json::parse(answer->body) : Json();
}

int stop(int port, int id, const std::string& token) {
    const auto answer = httplib::Client("127.0.0.1", port).Post(("/api/jobs/" + std::to_string(id) + "/stop").c_str(),
                                                                {{"X-IPM-Token", token}}, "", "text/plain");
    return answer ? answer->status : 0;
}

// The job's row once `holds` is true of it; null when it does not come to that in time.
Json rowWhen(int port, int id, const std::function<bool(const Json&)>& holds) {
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(100ms)) {
        for (const Json& row : Json(get(port, "/api/jobs")["jobs"]))
            if (row["id"] == id && holds(row)) return row;
    }
    return nullptr;
}

Json messagesOf(int port, int id) {
    Json messages = get(port, "/api/jobs/" + std::to_string(id) + "/messages")["messages"];
    for (Json& message : messages) message.erase("id"), message.erase("time");
    return messages;
}

TEST(ListenTool, PrintsJobsMessagesKillsOnRequestAndOutlivesJobsAndInput) {
    Listener listener({"--kill-after", "2"});
    loopback::Peer beam = job(listener.port);
    beam.Write("beam" + progress);
    EXPECT_EQ(listener.Line(), "beam " + progressLine);
    EXPECT_TRUE(listener.ErrorsHold("job beam connected from 127.0.0.1:"));
    listener.Write("kill nobody\nkill beam\n");
    EXPECT_EQ(beam.Read(4), "Kill");
    EXPECT_TRUE(listener.ErrorsHold("no job named nobody"));
    beam.Close();
    EXPECT_TRUE(listener.ErrorsHold("job beam disconnected"));

    // A job gone before its kill request arrives must not take the listener along.
    listener.CloseInput();
    job(listener.port).Write("hasty" + progress + progress);
    loopback::Peer later = job(listener.port);
    later.Write("later" + progress);
    EXPECT_FALSE(loopback::Readable(later.Descriptor(), 200)) << "killed after one message";
    later.Write(progress);
    EXPECT_EQ(later.Read(4), "Kill");
    listener.Signal(SIGTERM);
    EXPECT_EQ(listener.Wait(), 0);
}

TEST(ListenTool, ExitsWithAReasonWhenNobodyReadsItsOutput) {
    Listener unread({});
    loopback::Peer beam = job(unread.port);
    unread.CloseOutput();
    beam.Write("beam" + progress);
    EXPECT_EQ(unread.Wait(), 1);
    EXPECT_NE(unread.Errors().find("cannot write to standard output"), std::string::npos);
}

TEST(ListenMonitor, HistoryOutlivesTheListenerAndAnImportMatchesLiveReception) {
    TempDir dir;
    const std::string database = dir.File("history.db");
    {
        Listener listener({"--http", "0", "--db", database});
        loopback::Peer beam = job(listener.port);
        beam.Write("beam" + started + progress);
        beam.Close();
        ASSERT_EQ(rowWhen(listener.monitor, 1, [](const Json& row) { return row["state"] == "stopped"; })["messages"], 2);
        loopback::Peer running = job(listener.port);
        running.Write("running" + progress);
        ASSERT_NE(rowWhen(listener.monitor, 2, [](const Json& row) { return row["messages"] == 1; }), nullptr);
        listener.Signal(SIGTERM);
        EXPECT_EQ(listener.Wait(), 0);
    }
    std::ofstream(dir.File("beam.ipm")) << started << progress;
    ChildProcess import({IPM_LISTEN_PATH, "--import", dir.File("beam.ipm"), "--db", database});
    EXPECT_EQ(import.Wait(), 0) << import.Errors();

    Listener restarted({"--http", "0", "--db", database});
    const Json jobs = get(restarted.monitor, "/api/jobs")["jobs"];
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ((Json{jobs[0]["host"], jobs[0]["handle"], jobs[0]["phase"], jobs[0]["step"]}),
              Json::parse(R"(["node1", "77", "Analysis", 3])"));
    EXPECT_EQ(jobs[1]["state"], "gone") << "running when its listener ended";
    EXPECT_EQ((Json{jobs[2]["name"], jobs[2]["transport"], jobs[2]["state"]}), Json::parse(R"(["beam", "file", "stopped"])"));
    const Json live = messagesOf(restarted.monitor, 1);
    EXPECT_EQ(messagesOf(restarted.monitor, 3), live);
    EXPECT_EQ(get(restarted.monitor, "/api/jobs/1/series?field=residual&x=step")["points"], Json::parse("[[3,2.5e-06]]"));
}

TEST(ListenMonitor, AnImportShowsInARunningListenerAndWhatIsNotANewLogIsRefused) {
    TempDir dir;
    const std::string database = dir.File("history.db");
    const auto import = [&](const std::string& file, const std::string& into) {
        ChildProcess run({IPM_LISTEN_PATH, "--import", dir.File(file), "--db", into});
        return run.Wait();
    };
    dir.Write("notes.txt", "not a log\n");
    dir.Write("empty.ipm", "");
    dir.Write("beam.ipm", started + progress);
    dir.Write("copy.ipm", started + progress);
    EXPECT_NE(import("notes.txt", dir.File("fresh.db")), 0);
    EXPECT_FALSE(dir.Exists("fresh.db")) << "a refused import leaves no history behind";

    Listener listener({"--http", "0", "--db", database});
    EXPECT_NE(import("notes.txt", database), 0);
    EXPECT_NE(import("empty.ipm", database), 0);
    EXPECT_NE(import("missing.ipm", database), 0);
    EXPECT_EQ(import("beam.ipm", database), 0);
    EXPECT_NE(import("beam.ipm", database), 0) << "the same log twice";
    EXPECT_NE(import("copy.ipm", database), 0) << "the same log under another name";
    const Json row = rowWhen(listener.monitor, 1, [](const Json& row) { return row["state"] == "stopped"; });
    ASSERT_NE(row, nullptr) << "the import shows while the listener runs";
    EXPECT_EQ((Json{row["transport"], row["messages"]}), Json::parse(R"(["file", 2])"));
    EXPECT_EQ(get(listener.monitor, "/api/jobs")["jobs"].size(), 1u) << "a refused import made a job";
}

// Bad command lines send nothing: the listener's first line is the message
// of the good job that follows them.
TEST(JobTool, RefusesAnIncompleteCommandLineWithStatus2AndSendsNothing) {
    TempDir dir;
    Listener listener({});
    const std::string port = "direct_port=" + std::to_string(listener.port);
    const std::string host = "listener_name=127.0.0.1";
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"message=ALL", host, port},
        {"job=beam", host, port},
        {"job=beam", "message=ALL", host, "direct_port=abc"},
        {"-transport", "bogus", "job=beam", "message=ALL", host, port}};
    const std::string send = R"({"send":"direct","type":"Progress","format":"step=%i","ints":[1]})" "\n";
    for (std::vector<std::string> arguments : refused) {
        arguments.insert(arguments.begin(), {IPM_JOB_PATH, "indir=" + dir.Path()});
        ChildProcess job(arguments);
        job.Write(send);
        job.CloseInput();
        EXPECT_EQ(job.Wait(), 2) << arguments.size() << " arguments";
    }
    ChildProcess good({IPM_JOB_PATH, "indir=" + dir.Path(), "job=good", "message=ALL", host, port});
    good.Write(send);
    good.CloseInput();
    EXPECT_EQ(good.Wait(), 0);
    EXPECT_TRUE(listener.Line().starts_with("good Progress step=1")) << "a refused job sent something";
}

TEST(ListenMonitor, AStopNeedsTheTokenAndEndsARealJobWithStatus3) {
    TempDir dir;
    Listener listener({"--http", "0", "--token", "secret", "--db", dir.File("history.db")});
    ChildProcess beam({IPM_JOB_PATH, "job=beam", "message=ALL", "indir=" + dir.Path(), "listener_name=127.0.0.1",
                       "direct_port=" + std::to_string(listener.port)});
    beam.Write(R"({"send":"buffered","type":"Progress","format":"step=%i","ints":[1]})" "\n{\"sleep\":30000}\n");
    ASSERT_NE(rowWhen(listener.monitor, 1, [](const Json& row) { return row["step"] == 1; }), nullptr);

    EXPECT_EQ(stop(listener.monitor, 1, ""), 403);
    EXPECT_EQ(stop(listener.monitor, 1, "wrong"), 403);
    EXPECT_EQ(beam.Wait(300ms), -1) << "a refused stop leaves the job running";
    EXPECT_EQ(stop(listener.monitor, 7, "secret"), 404);

    EXPECT_EQ(stop(listener.monitor, 1, "secret"), 200);
    EXPECT_EQ(beam.Wait(), 3);
    EXPECT_EQ(rowWhen(listener.monitor, 1, [](const Json& row) { return row["state"] == "killed"; })["stopOutcome"], "sent");
    EXPECT_EQ(stop(listener.monitor, 1, "secret"), 409);
}

}  // namespace
