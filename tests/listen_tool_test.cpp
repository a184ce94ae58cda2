// Runs the ipm-listen program against plain sockets and the scripted job
// acting as jobs, and its monitor through its HTTP interface.
#include <sqlite3.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HistoryDatabase.h"
#include "support/LoopbackPeer.h"
#include "support/MonitorApi.h"
#include "support/TempDir.h"
#include "support/Waiting.h"
#include "tools/listen/store/ipm_History.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using namespace monitor_api;

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

// The listener with `options`; with "--http" first, its monitor's port and token too.
class Listener : public ChildProcess {
public:
    explicit Listener(std::vector<std::string> options) : ChildProcess(withProgram(options)) {
        port = portAfter("listening on 127.0.0.1:", Line());
        if (options.empty() || options[0] != "--http") return;
        const std::string page = Line();
        monitor = portAfter("monitor at http://127.0.0.1:", page);
        token = page.substr(page.find("?token=") + 7);
    }
    std::string Line() { return OutputLine().value_or("(no line)"); }
    static std::vector<std::string> withProgram(std::vector<std::string> options) {
        options.insert(options.begin(), IPM_LISTEN_PATH);
        return options;
    }
    int port = 0, monitor = 0;
    std::string token;
};

// A job's connection to the listener.
loopback::Peer job(int port) { return loopback::Peer(loopback::Connect(port)); }

Json messagesOf(const Listener& listener, int id) {
    Json messages = get(listener, "/api/jobs/" + std::to_string(id) + "/messages")["messages"];
    for (Json& message : messages) message.erase("id"), message.erase("time");
    return messages;
}

// True once the process is stopped by a signal.
bool stopped(pid_t pid) {
    for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(5ms)) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        if (line.find(") T ") != std::string::npos) return true;
    }
    return false;
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

    // A type with a blank loses nothing after it; a stream cut inside a document says so.
    loopback::Peer cut = job(listener.port);
    cut.Write("cut<Step done><steps type=\"integer\">3</steps></Step done>\n" + progress + "<Progress><st");
    EXPECT_EQ(listener.Line(), "cut \"Step done\" steps=3");
    EXPECT_EQ(listener.Line(), "cut " + progressLine);
    // A kill typed in the round in which the job leaves is not sent to the ended connection.
    listener.Signal(SIGSTOP);
    ASSERT_TRUE(stopped(listener.Pid()));
    cut.Close();
    listener.Write("kill cut\n");
    listener.Signal(SIGCONT);
    EXPECT_TRUE(listener.ErrorsHold("job cut: it ends inside a document: 13 bytes left out"));
    EXPECT_TRUE(listener.ErrorsHold("Kill not sent: job cut has gone"));
    const std::string& errors = listener.Errors();
    EXPECT_EQ(errors.find("sending Kill to job cut"), errors.rfind("sending Kill to job cut")) << "only after 2 messages";

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
        ASSERT_EQ(rowWhen(listener, 1, [](const Json& row) { return row["state"] == "crashed"; })["messages"], 2)
            << "gone without its end";
        loopback::Peer running = job(listener.port);
        running.Write("running" + progress);
        ASSERT_NE(rowWhen(listener, 2, [](const Json& row) { return row["messages"] == 1; }), nullptr);
        listener.Signal(SIGTERM);
        EXPECT_EQ(listener.Wait(), 0);
    }
    std::ofstream(dir.File("beam.ipm")) << started << progress;
    ChildProcess import({IPM_LISTEN_PATH, "--import", dir.File("beam.ipm"), "--db", database});
    EXPECT_EQ(import.Wait(), 0) << import.Errors();

    Listener restarted({"--http", "0", "--db", database});
    const Json jobs = get(restarted, "/api/jobs")["jobs"];
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ((Json{jobs[0]["host"], jobs[0]["handle"], jobs[0]["phase"], jobs[0]["step"]}),
              Json::parse(R"(["node1", "77", "Analysis", 3])"));
    EXPECT_EQ(jobs[1]["state"], "unreachable") << "running when its listener ended";
    EXPECT_EQ((Json{jobs[2]["name"], jobs[2]["transport"], jobs[2]["state"]}), Json::parse(R"(["beam", "file", "crashed"])"));
    const Json live = messagesOf(restarted, 1);
    EXPECT_EQ(messagesOf(restarted, 3), live);
    EXPECT_EQ(get(restarted, "/api/jobs/1/series?field=residual&x=step")["points"], Json::parse("[[3,2.5e-06]]"));
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
    const std::string ended = "<JobEnded></JobEnded>\n";
    dir.Write("beam.ipm", started + progress + ended);
    dir.Write("copy.ipm", started + progress + ended);
    EXPECT_NE(import("notes.txt", dir.File("fresh.db")), 0);
    EXPECT_FALSE(dir.Exists("fresh.db")) << "a refused import leaves no history behind";

    Listener listener({"--http", "0", "--db", database});
    EXPECT_NE(import("notes.txt", database), 0);
    EXPECT_NE(import("empty.ipm", database), 0);
    EXPECT_NE(import("missing.ipm", database), 0);
    EXPECT_EQ(import("beam.ipm", database), 0);
    EXPECT_NE(import("beam.ipm", database), 0) << "the same log twice";
    EXPECT_NE(import("copy.ipm", database), 0) << "the same log under another name";
    const Json row = rowWhen(listener, 1, [](const Json& row) { return row["state"] == "finished"; });
    ASSERT_NE(row, nullptr) << "the import shows while the listener runs, ended in order";
    EXPECT_EQ((Json{row["transport"], row["messages"]}), Json::parse(R"(["file", 3])"));
    EXPECT_EQ(get(listener, "/api/jobs")["jobs"].size(), 1u) << "a refused import made a job";
    EXPECT_EQ(get(listener, "/api/jobs/1/series?field=residual&x=%23")["points"], Json::parse("[[2,2.5e-06]]"))
        << "charted against the message number";
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
    ASSERT_NE(rowWhen(listener, 1, [](const Json& row) { return row["step"] == 1; }), nullptr);

    for (const char* wrong : {"", "secreT", "secret-and-more"}) EXPECT_EQ(stop(listener, 1, wrong), 403) << wrong;
    EXPECT_EQ(beam.Wait(300ms), -1) << "a refused stop leaves the job running";
    EXPECT_EQ(stop(listener, 7, "secret"), 404);

    EXPECT_EQ(stop(listener, 1, "secret"), 200);
    EXPECT_EQ(beam.Wait(), 3);
    EXPECT_EQ(rowWhen(listener, 1, [](const Json& row) { return row["state"] == "killed"; })["stopOutcome"], "sent");
    EXPECT_EQ(stop(listener, 1, "secret"), 409);
}

// A request the monitor must refuse to read whole: how many bytes of `head`
// and then `filler` repeated it took before ending the connection (all of
// them, up to `total`, if it never did).
std::size_t takenBeforeTheEnd(int port, const std::string& head, const std::string& filler, std::size_t total) {
    loopback::Peer peer = job(port);
    const timeval bound{30, 0};
    ::setsockopt(peer.Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    std::size_t sent = 0;
    for (std::string piece = head; sent < total; piece = filler) {
        if (::send(peer.Descriptor(), piece.data(), piece.size(), MSG_NOSIGNAL) <= 0) break;
        sent += piece.size();
    }
    return sent;
}

TEST(ListenMonitor, EveryRequestNeedsItsOwnHostTheApiTheTokenAndAllAreBounded) {
    TempDir dir;
    Listener listener({"--http", "0", "--db", dir.File("history.db")});
    const std::string host = "127.0.0.1:" + std::to_string(listener.monitor);
    const httplib::Headers withToken{{"X-IPM-Token", listener.token}};
    EXPECT_EQ(fetch(listener, "/api/jobs", {}).first, 403);
    EXPECT_EQ(fetch(listener, "/api/jobs", {{"X-IPM-Token", listener.token + "x"}}).first, 403);
    EXPECT_EQ(fetch(listener, "/api/events?token=wrong", {}).first, 403);
    EXPECT_EQ(fetch(listener, "/api/jobs", withToken).first, 200);
    EXPECT_EQ(fetch(listener, "/api/jobs?token=" + listener.token, {}).first, 200) << "as the event stream asks";
    EXPECT_EQ(fetch(listener, "/", {}).first, 200) << "the page itself holds no job's data";
    // Its scripts come compressed, once compressed, and read back as they are.
    const auto script = fetch(listener, "/static/dygraph.min.js", {});
    EXPECT_EQ(fetch(listener, "/static/dygraph.min.js", {{"Accept-Encoding", "gzip"}}), script);
    EXPECT_GT(script.second.size(), 1000u);
    // So does every file of the page, with a validator that a reload sends
    // back to get a bodiless 304 while the file is the same.
    for (const std::string path : {"/", "/static/monitor.css", "/static/main.js", "/static/vocabulary.js"}) {
        loopback::Peer page = job(listener.monitor);
        page.Write("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept-Encoding: gzip, br\r\n\r\n");
        const std::string head = page.ReadThrough("\r\n\r\n");
        EXPECT_NE(head.find("Content-Encoding: gzip\r\n"), std::string::npos) << path;
        EXPECT_NE(head.find("Cache-Control: no-cache\r\n"), std::string::npos) << path;
        const std::size_t tag = head.find("ETag: ") + 6;
        ASSERT_GT(tag, 6u) << path;
        const httplib::Headers validated{{"Accept-Encoding", "gzip"},
                                         {"If-None-Match", head.substr(tag, head.find("\r\n", tag) - tag)}};
        EXPECT_EQ(fetch(listener, path, validated), std::pair(304, std::string())) << path;
        EXPECT_EQ(fetch(listener, path, {{"Accept-Encoding", "gzip"}, {"If-None-Match", "\"0-0-gz\""}}).first, 200);
    }
    // DNS rebinding: another name for this address is refused, the listener's own names are not.
    EXPECT_EQ(fetch(listener, "/api/jobs", {{"X-IPM-Token", listener.token}, {"Host", "attacker.example:" +
                                                                               std::to_string(listener.monitor)}})
                  .first,
              403);
    EXPECT_EQ(fetch(listener, "/", {{"Host", "127.0.0.1:1"}}).first, 403);
    EXPECT_EQ(fetch(listener, "/api/jobs", {{"X-IPM-Token", listener.token}, {"Host", "localhost:" +
                                                                               std::to_string(listener.monitor)}})
                  .first,
              200);

    // Without the token a body is refused before it is read.
    loopback::Peer unasked = job(listener.monitor);
    unasked.Write("POST /api/jobs/1/stop HTTP/1.1\r\nHost: " + host + "\r\nTransfer-Encoding: chunked\r\n\r\n");
    EXPECT_TRUE(unasked.ReadThrough("\r\n\r\n").starts_with("HTTP/1.1 403"));

    constexpr std::size_t lots = 20 * 1024 * 1024;
    EXPECT_LT(takenBeforeTheEnd(listener.monitor,
                                "POST /api/jobs/1/stop HTTP/1.1\r\nHost: " + host + "\r\nX-IPM-Token: " +
                                    listener.token + "\r\nTransfer-Encoding: chunked\r\n\r\n",
                                "10000\r\n" + std::string(0x10000, 'x') + "\r\n", lots),
              lots)
        << "a chunked body over the bound";
    EXPECT_LT(takenBeforeTheEnd(listener.monitor, "GET /", std::string(0x10000, 'a'), lots), lots) << "a long address";
    EXPECT_LT(takenBeforeTheEnd(listener.monitor, "GET / HTTP/1.1\r\nHost: " + host + "\r\n",
                                std::string(1000, 'a') + ":b\r\n", lots),
              lots)
        << "endless headers";
    EXPECT_EQ(fetch(listener, "/api/jobs", withToken).first, 200);
}

TEST(ListenMonitor, SlowPeersNeitherHoldTheMonitorNorDelayItsEnd) {
    TempDir dir;
    Listener listener({"--http", "0", "--db", dir.File("history.db")});
    // Each is answered once, so that the monitor has taken it in before the
    // next comes, then sends a request head a byte at a time for as long as
    // the test runs.
    const std::string host = "Host: 127.0.0.1:" + std::to_string(listener.monitor) + "\r\n";
    std::vector<loopback::Peer> slow;
    for (int i = 0; i < 40; ++i) {
        slow.emplace_back(job(listener.monitor));
        slow.back().Write("GET /api/jobs HTTP/1.1\r\n" + host + "X-IPM-Token: " + listener.token + "\r\n\r\n");
        slow.back().ReadThrough("{\"jobs\":[]}");
        slow.back().Write("GET /api/jobs HTTP/1.1\r\nX-Slow: ");
    }
    std::atomic<bool> trickling = true;
    std::thread trickle([&] {
        while (trickling) {
            for (const auto& peer : slow) ::send(peer.Descriptor(), "a", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(200ms);
        }
    });
    EXPECT_EQ(fetch(listener, "/api/jobs", {{"X-IPM-Token", listener.token}}).first, 200);
    EXPECT_EQ(fetch(listener, "/", {}).first, 200);
    EXPECT_EQ(stop(listener, 1, listener.token), 404);
    // A peer keeps only so many waiting connections: each one more ended the oldest.
    const auto ended = std::count_if(slow.begin(), slow.end(), [](const auto& peer) {
        return loopback::Readable(peer.Descriptor(), 0);
    });
    EXPECT_GE(ended, 40 - 16);
    listener.Signal(SIGTERM);
    EXPECT_EQ(listener.Wait(8s), 0) << "the slow connections end with the listener, at once";
    trickling = false;
    trickle.join();
}

std::string progressWith(int step, double residual) {
    return "<Progress><step type=\"integer\">" + std::to_string(step) + "</step><residual type=\"float\">" +
           std::to_string(residual) + "</residual></Progress>\n";
}

TEST(ListenMonitor, ProcessesSharingAHistoryKeepEveryJobSeriesStayBoundedOldMessagesGo) {
    TempDir dir;
    const std::string database = dir.File("history.db");
    ASSERT_EQ(HistoryDatabase(database).Execute(
        "CREATE TABLE messages(id INTEGER PRIMARY KEY, job INTEGER NOT NULL, time INTEGER NOT NULL,"
        " type TEXT NOT NULL, fields TEXT NOT NULL, types TEXT NOT NULL);"
        "INSERT INTO messages(job, time, type, fields, types) VALUES(99, 0, 'Old', '{}', '{}');"), "");
    Listener listener({"--http", "0", "--db", database, "--keep-days", "1"});
    loopback::Peer beam = job(listener.port);
    beam.Write("beam" + started + progress);
    ASSERT_NE(rowWhen(listener, 1, [](const Json& row) { return row["messages"] == 2; }), nullptr);

    // While the job runs: a log imported and a second listener, into the same history.
    std::string log;
    for (int step = 0; step < 5000; ++step) {
        log += progressWith(step, step == 3333 ? 1e6 : -1.0 / (step + 1));
        // Every seventh message has a field more than the others.
        if (step % 7 == 0) log.insert(log.size() - 12, "<note type=\"string\">n</note>");
    }
    std::ofstream(dir.File("long.ipm")) << log;
    ChildProcess import({IPM_LISTEN_PATH, "--import", dir.File("long.ipm"), "--db", database});
    EXPECT_EQ(import.Wait(), 0) << import.Errors();
    EXPECT_EQ(import.OutputLine(), "imported 5000 messages as job 2 into " + database);
    Listener second({"--db", database});
    job(second.port).Write("other" + progress + progress + progress);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(second.Line(), "other " + progressLine);
    // The live stream gives a message as it arrives, with the id it is stored under.
    loopback::Peer events = job(listener.monitor);
    events.Write("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(listener.monitor) +
                 "\r\nX-IPM-Token: " + listener.token + "\r\n\r\n");
    events.ReadThrough("\r\n\r\n");
    beam.Write(progress);
    events.ReadThrough("event: message\ndata: ");
    const Json live = Json::parse(events.ReadThrough("\n\n"));
    beam.Close();
    ASSERT_NE(rowWhen(listener, 1, [](const Json& row) { return row["state"] == "crashed"; }), nullptr);
    // The second listener has seen its job go before it is stopped.
    EXPECT_TRUE(WaitUntil(
        [&] { return HistoryDatabase(database).Count("jobs WHERE name = 'other' AND state = 'crashed'") == 1; }));
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(), 0) << second.Errors();
    // The first listener still runs: its writer stores the live message after the stream has shown it.
    EXPECT_TRUE(WaitUntil([&] {
        return HistoryDatabase(database).Count("jobs WHERE state = 'crashed' AND messages = 3") == 2 &&
               HistoryDatabase(database).Count("messages WHERE job = 1") == 3;
    }));

    HistoryDatabase history(database);
    EXPECT_EQ(history.Count("jobs"), 3);
    for (const auto& [id, messages] : std::vector<std::pair<int, int>>{{1, 3}, {2, 5000}, {3, 3}})
        EXPECT_EQ(history.Count("messages WHERE job = " + std::to_string(id)), messages) << "job " << id;
    // Each row holds its own message only, however its room was used before.
    EXPECT_EQ(history.Count("messages WHERE job = 2 AND json_valid(fields) AND json_extract(fields, '$.step') = id -"
                            " (SELECT min(id) FROM messages WHERE job = 2) AND (SELECT count(*) FROM json_each(fields))"
                            " = 2 + (json_extract(fields, '$.step') % 7 = 0) AND (SELECT count(*) FROM json_each(types))"
                            " = 2 + (json_extract(fields, '$.step') % 7 = 0)"), 5000);
    EXPECT_EQ(live["job"], 1);
    EXPECT_EQ(history.Count("messages WHERE job = 1 AND id = " + live["message"]["id"].dump()), 1);
    EXPECT_EQ(history.Count("messages WHERE job = 99"), 0) << "older than --keep-days";
    EXPECT_EQ(history.Count("jobs WHERE state = 'crashed' AND messages = 3"), 2);

    // A long series comes bounded, its extremes kept at every zoom; paged messages newest first.
    const Json whole = get(listener, "/api/jobs/2/series?field=residual")["points"];
    EXPECT_LE(whole.size(), 2000u);
    const auto spike = [](const Json& points) {
        return std::any_of(points.begin(), points.end(), [](const Json& point) { return point[1] == 1e6; });
    };
    EXPECT_TRUE(spike(whole));
    EXPECT_TRUE(std::any_of(whole.begin(), whole.end(), [](const Json& point) { return point[1] == -1; }));
    const Json zoomed = get(listener, "/api/jobs/2/series?field=residual&x=step&from=3300&to=3399")["points"];
    EXPECT_EQ(zoomed.size(), 100u);
    EXPECT_TRUE(spike(zoomed));
    // Against the message number or time, from the summary: the same extremes, the first and the last message.
    const auto has = [](const Json& points, double x, double y) {
        return std::any_of(points.begin(), points.end(), [&](const Json& p) { return p[0] == x && p[1] == y; });
    };
    for (const auto& [range, first, last] : std::vector<std::tuple<std::string, int, int>>{
             {"", 1, 5000}, {"&from=2&to=4999", 2, 4999}, {"&from=17&to=4900", 17, 4900}, {"&from=3300&to=3399", 3300, 3399}}) {
        const Json points = get(listener, "/api/jobs/2/series?field=residual&x=%23" + range)["points"];
        EXPECT_LE(points.size(), 2000u) << range;
        EXPECT_TRUE(has(points, 3334, 1e6)) << range;
        EXPECT_TRUE(std::is_sorted(points.begin(), points.end(), [](auto& a, auto& b) { return a[0] < b[0]; }));
        EXPECT_TRUE(!points.empty() && points.front()[0] == first && points.back()[0] == last) << range;
    }
    EXPECT_EQ(get(listener, "/api/jobs/2/series?field=residual&x=%23&from=3300&to=3399")["points"].size(), 100u);
    EXPECT_EQ(get(listener, "/api/jobs/2/series?field=residual&x=%23&from=4990&to=5000")["points"].size(), 11u);
    const Json byTime = get(listener, "/api/jobs/2/series?field=residual")["points"];
    EXPECT_TRUE(spike(byTime) && byTime.size() <= 2000u);
    // A job's view asks for every numeric field at once: each as asked for alone, summarised or not yet,
    // the newest message's fields first in its order.
    const Json charts = get(listener, "/api/jobs/2/charts?x=%23")["series"];
    EXPECT_EQ(charts.size(), 2u);
    EXPECT_EQ(charts["residual"], get(listener, "/api/jobs/2/series?field=residual&x=%23")["points"]);
    const std::string fewer = fetch(listener, "/api/jobs/1/charts?x=step", {{"X-IPM-Token", listener.token}}).second;
    EXPECT_EQ(Json::parse(fewer)["series"]["residual"], get(listener, "/api/jobs/1/series?field=residual&x=step")["points"]);
    EXPECT_TRUE(fewer.find("\"residual\"") < fewer.find("\"handle\"") && !Json::parse(fewer)["series"].contains("step"))
        << fewer;
    const Json newest = get(listener, "/api/jobs/2/messages?before=999999999&limit=2");
    ASSERT_EQ(newest["messages"].size(), 2u);
    EXPECT_EQ(newest["messages"][0]["fields"]["step"], 4999);
    EXPECT_EQ(newest["next"], newest["messages"][1]["id"]);
    // Every type a job sent, counted however far back, with the newest message the counts hold.
    EXPECT_EQ(get(listener, "/api/jobs/1/types")["types"], (Json{{"Progress", 2}, {"Started", 1}}));
    const Json types = get(listener, "/api/jobs/2/types");
    EXPECT_EQ(types["types"], (Json{{"Progress", 5000}}));
    EXPECT_EQ(types["through"], newest["messages"][0]["id"]);

    // A history summarised from spans of 16 messages, each level one below, charts the same once upgraded.
    const std::string zoom = "/api/jobs/2/series?field=residual&x=%23&from=17&to=4900";
    const Json before = get(listener, zoom)["points"];
    listener.Signal(SIGTERM);
    ASSERT_EQ(listener.Wait(), 0);
    // Its extent counted in finer spans, three more than whole coarser ones, up to a later message;
    // its messages' types not counted.
    ASSERT_EQ(history.Execute("UPDATE series SET level = -level; UPDATE series SET level = 1 - level;"
                              "UPDATE series_extent SET spans = spans * 4 + 3, last_id = last_id + 48;"
                              "DELETE FROM message_types; PRAGMA user_version = 1"),
              "");
    Listener upgraded({"--http", "0", "--db", database});
    EXPECT_EQ(get(upgraded, "/api/jobs/2/charts?x=%23")["series"], charts) << upgraded.Errors();
    EXPECT_EQ(get(upgraded, zoom)["points"], before);
    // Counted anew on the upgrade; a message deleted leaves the count.
    EXPECT_EQ(get(upgraded, "/api/jobs/2/types"), types);
    ASSERT_EQ(history.Execute("DELETE FROM messages WHERE job = 1 AND type = 'Started'"), "");
    EXPECT_EQ(get(upgraded, "/api/jobs/1/types")["types"], (Json{{"Progress", 2}}));
}

// How often `text` occurs in what the listener said on standard error so far.
int count(Listener& listener, const std::string& text) {
    listener.ErrorsHold("\x01", 0ms);  // takes in what has come
    int found = 0;
    for (std::size_t at = 0; (at = listener.Errors().find(text, at)) != std::string::npos; at += text.size()) ++found;
    return found;
}

TEST(ListenMonitor, EachHistoryOutageAndRecoveryIsReportedAndRowsCountWhatWasStored) {
    TempDir dir;
    const std::string database = dir.File("history.db");
    Listener listener({"--http", "0", "--db", database});
    loopback::Peer beam = job(listener.port);
    beam.Write("beam" + progress);
    EXPECT_EQ(listener.Line(), "beam " + progressLine);
    ASSERT_NE(rowWhen(listener, 1, [](const Json& row) { return row["messages"] == 1; }), nullptr);

    for (int outage = 0; outage < 2; ++outage) {
        HistoryDatabase locker(database);
        ASSERT_EQ(locker.Execute("BEGIN EXCLUSIVE"), "");
        // More than the queue and the batch held can keep.
        constexpr int sent = 2 * static_cast<int>(ipm_History::maxQueued) + 4000;
        std::thread sender([&] {
            for (int i = 0; i < sent; ++i) beam.Write(progress);
        });
        for (int i = 0; i < sent; ++i) ASSERT_EQ(listener.Line(), "beam " + progressLine) << i;
        sender.join();
        EXPECT_TRUE(listener.ErrorsHold("history not written: database is locked"));
        ASSERT_EQ(locker.Execute("COMMIT"), "");
        // Each outage and each recovery said once: the history's path, the job's line and two per outage.
        const std::string recovered = "history written again; ";
        for (int i = 0; i < 200 && count(listener, recovered) <= outage; ++i) std::this_thread::sleep_for(50ms);
        EXPECT_EQ(count(listener, recovered), outage + 1);
        EXPECT_EQ(count(listener, "\n"), 4 + 2 * outage) << listener.Errors();
    }
    beam.Close();
    const Json row = rowWhen(listener, 1, [](const Json& row) { return row["state"] == "crashed"; });
    const long long stored = HistoryDatabase(database).Count("messages WHERE job = 1");
    EXPECT_LT(stored, 1 + 2 * (2 * static_cast<long long>(ipm_History::maxQueued) + 4000))
        << "more than the queue holds waited through the outage";
    EXPECT_EQ(row["messages"], stored);
    EXPECT_EQ(HistoryDatabase(database).Count("jobs WHERE messages = " + std::to_string(stored)), 1);
}

TEST(ListenMonitor, JobsConnectingTogetherAreEachStoredOnceWithTheirMessages) {
    TempDir dir;
    const std::string database = dir.File("history.db");
    Listener listener({"--http", "0", "--db", database});
    constexpr int jobs = 40;
    std::vector<loopback::Peer> burst;
    for (int i = 0; i < jobs; ++i) burst.push_back(job(listener.port));
    for (int i = 0; i < jobs; ++i) burst[i].Write("burst" + std::to_string(i) + progress);
    for (int id = 1; id <= jobs; ++id)
        ASSERT_NE(rowWhen(listener, id, [](const Json& row) { return row["messages"] == 1; }), nullptr) << id;
    // Written while the listener runs, each row under the id the page knows it by.
    HistoryDatabase history(database);
    for (int i = 0; i < 100 && history.Count("messages") < jobs; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(history.Count("messages"), jobs);
    EXPECT_EQ(history.Count("jobs WHERE name LIKE 'burst%' AND id BETWEEN 1 AND " + std::to_string(jobs)), jobs);
    for (int id = 1; id <= jobs; ++id)
        EXPECT_EQ(history.Count("messages WHERE job = " + std::to_string(id) + " AND job IN (SELECT id FROM jobs)"), 1);
}

}  // namespace

namespace {

// The monitor's answer to a request for job `id`: status and body.
std::pair<int, Json> request(const Listener& listener, int id, const Json& body, const std::string& token) {
    httplib::Client client("127.0.0.1", listener.monitor);
    client.set_read_timeout(60s);
    const auto answer = client.Post("/api/jobs/" + std::to_string(id) + "/requests",
                                    {{"X-IPM-Token", token}}, body.dump(), "application/json");
    if (!answer) return {0, nullptr};
    return {answer->status, Json::parse(answer->body, nullptr, false)};
}

// The states of the job's requests, oldest first, joined by commas.
std::string requestStates(const Json& row) {
    std::string states;
    for (const Json& sent : row["requests"]) {
        if (!states.empty()) states += ',';
        states += sent["state"].get<std::string>();
    }
    return states;
}

const std::string offered =
    "<RequestsOffered><checkpoint type=\"string\">Write a restart file now</checkpoint></RequestsOffered>\n";

}  // namespace

TEST(ListenRequests, OfferedRequestsAreAnsweredRefusedOrLeftOthersRefusedAndKillStillKills) {
    TempDir dir;
    Listener listener({"--http", "0", "--token", "secret", "--db", dir.File("history.db"), "--answer-time", "1"});
    ChildProcess beam({IPM_JOB_PATH, "job=beam", "message=ALL", "indir=" + dir.Path(), "listener_name=127.0.0.1",
                       "direct_port=" + std::to_string(listener.port)});
    beam.Write(R"({"offer":{"checkpoint":"Write a restart file now","stop":"Stop after this increment"}})" "\n"
               R"({"answer":"done","text":"written to beam.rst"})" "\n" R"({"answer":"refused","text":"busy"})" "\n"
               R"({"answer":"none"})" "\n{\"sleep\":30000}\n");
    const Json row = rowWhen(listener, 1, [](const Json& row) { return row["offered"].size() == 2; });
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row["offered"][1], Json({{"name", "stop"}, {"label", "Stop after this increment"}}));

    EXPECT_EQ(request(listener, 1, {{"name", "checkpoint"}}, "wrong").first, 403);
    EXPECT_EQ(request(listener, 1, {{"name", "resize"}}, "secret").first, 409) << "not offered";
    EXPECT_EQ(request(listener, 1, {{"name", "Stop"}}, "secret").first, 400);
    EXPECT_EQ(request(listener, 1, {{"name", "stop"}, {"value", "Kill"}}, "secret").first, 400);
    EXPECT_EQ(request(listener, 1, {{"value", "x"}}, "secret").first, 400);
    const auto [status, sent] = request(listener, 1, {{"name", "checkpoint"}, {"value", "a \"b\" & c"}}, "secret");
    ASSERT_EQ(status, 200) << sent;
    EXPECT_EQ(beam.OutputLine(), "request " + std::to_string(sent["id"].get<int>()) + " checkpoint a \"b\" & c");
    EXPECT_NE(rowWhen(listener, 1, [](const Json& row) { return requestStates(row) == "done"; }), nullptr);

    listener.Write("request beam resize\nrequest beam stop now\n");
    EXPECT_TRUE(listener.ErrorsHold("request not sent: job beam has not offered the request resize"));
    EXPECT_TRUE(beam.OutputLine().value_or("").ends_with(" stop now"));
    ASSERT_EQ(request(listener, 1, {{"name", "checkpoint"}}, "secret").first, 200);
    const Json answered =
        rowWhen(listener, 1, [](const Json& row) { return requestStates(row) == "done,refused,no answer"; });
    ASSERT_NE(answered, nullptr);
    EXPECT_EQ(answered["requests"][0]["text"], "written to beam.rst");
    EXPECT_EQ(answered["requests"][1]["text"], "busy");
    EXPECT_EQ(get(listener, "/api/jobs/1/requests")["requests"].size(), 3u);

    // A job that never offers gets nothing, however it is asked.
    loopback::Peer old = job(listener.port);
    old.Write("old" + progress);
    ASSERT_NE(rowWhen(listener, 2, [](const Json& row) { return row["messages"] == 1; }), nullptr);
    EXPECT_EQ(request(listener, 2, {{"name", "checkpoint"}}, "secret").first, 409);
    listener.Write("request old checkpoint\n");
    EXPECT_TRUE(listener.ErrorsHold("job old has not offered the request checkpoint"));
    EXPECT_FALSE(loopback::Readable(old.Descriptor(), 300));

    EXPECT_EQ(stop(listener, 1, "secret"), 200);
    EXPECT_EQ(beam.Wait(), 3) << "Kill still ends a job that takes requests";
}

TEST(ListenRequests, ARequestForAJobAwayWaitsForItsReturnAndGoesOnce) {
    Listener listener({});
    loopback::Peer first = job(listener.port);
    first.Write("away" + offered);
    EXPECT_TRUE(listener.Line().starts_with("away RequestsOffered checkpoint=\"Write a restart file now\""));
    first.Close();
    EXPECT_TRUE(listener.ErrorsHold("job away disconnected"));
    listener.Write("request away checkpoint at once\nrequest nobody checkpoint\n");
    EXPECT_TRUE(listener.ErrorsHold("no job named nobody"));
    EXPECT_TRUE(listener.ErrorsHold("job away is not connected: request "));

    loopback::Peer back = job(listener.port);
    back.Write("away" + progress);
    const std::string element = back.ReadThrough("/>\n");
    EXPECT_TRUE(element.starts_with("<request id=\"")) << element;
    EXPECT_TRUE(element.ends_with("\" name=\"checkpoint\" value=\"at once\"/>\n")) << element;
    back.Close();
    loopback::Peer again = job(listener.port);
    again.Write("away" + progress);
    EXPECT_FALSE(loopback::Readable(again.Descriptor(), 300)) << "delivered once";
}
