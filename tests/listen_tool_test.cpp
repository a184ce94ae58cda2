// Runs the ipm-listen program against plain sockets acting as jobs.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LoopbackPeer.h"

namespace {

using namespace std::chrono_literals;

const std::string progress =
    "<Progress><step type=\"integer\">3</step><heading type=\"string\">A&amp;B</heading>"
    "<phase type=\"symconst\">Analysis</phase><jobName type=\"string\">beam</jobName></Progress>\n";
const std::string progressLine = "Progress step=3 heading=A&B phase=Analysis jobName=beam";
const std::string done = "<Done><jobName type=\"string\">beam</jobName></Done>\n";

class Listener : public ChildProcess {
public:
    explicit Listener(std::vector<std::string> options) : ChildProcess(withProgram(std::move(options))) {}

    // The port it announces on its first line; 0 when the line is not the announcement.
    int Port() {
        const std::string prefix = "listening on 127.0.0.1:";
        const std::string first = OutputLine().value_or("");
        return first.starts_with(prefix) ? std::atoi(first.c_str() + prefix.size()) : 0;
    }

    std::string Line() { return OutputLine().value_or("(no line)"); }

    // CPU time used so far, in clock ticks.
    long CpuTicks() const {
        std::ifstream stat("/proc/" + std::to_string(Pid()) + "/stat");
        const std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(all.substr(all.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14) ticks += std::stol(field);
        return ticks;
    }

private:
    static std::vector<std::string> withProgram(std::vector<std::string> options) {
        options.insert(options.begin(), IPM_LISTEN_PATH);
        return options;
    }
};

// A job's connection to the listener.
loopback::Peer job(int port) { return loopback::Peer(loopback::Connect(port)); }

bool nothingComes(const loopback::Peer& peer) { return !loopback::Readable(peer.Descriptor(), 200); }

TEST(ListenTool, PrintsJobsMessagesKillsOnRequestAndOutlivesJobsAndInput) {
    Listener listener({});
    const int port = listener.Port();
    ASSERT_NE(port, 0);

    loopback::Peer beam = job(port);
    beam.Write("beam" + progress + done);
    EXPECT_EQ(listener.Line(), "beam " + progressLine);
    EXPECT_EQ(listener.Line(), "beam Done jobName=beam");
    EXPECT_TRUE(listener.ErrorsHold("job beam connected from 127.0.0.1:"));

    listener.Write("kill nobody\nkill beam\n");
    EXPECT_EQ(beam.Read(4), "Kill");
    EXPECT_TRUE(listener.ErrorsHold("no job named nobody"));
    beam.Close();
    EXPECT_TRUE(listener.ErrorsHold("job beam disconnected"));

    loopback::Peer shell = job(port);
    const std::string broken = "<Error><message type=\"string\">a<b</message></Error>\n";
    for (const char byte : "shell" + broken + done) shell.Write(std::string(1, byte));
    EXPECT_EQ(listener.Line() + "\n", "shell " + broken);
    EXPECT_EQ(listener.Line(), "shell Done jobName=beam");
    EXPECT_TRUE(listener.ErrorsHold("warning: job shell: "));

    listener.CloseInput();
    const long ticksBefore = listener.CpuTicks();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(listener.CpuTicks() - ticksBefore, sysconf(_SC_CLK_TCK) / 4) << "spins after the end of its input";
    shell.Write(progress);
    EXPECT_EQ(listener.Line(), "shell " + progressLine);

    listener.Signal(SIGTERM);
    EXPECT_EQ(listener.Wait(), 0);
}

// Raw output is what the scripted job's tests read.
TEST(ListenTool, JsonOutput) {
    Listener json({"--json"});
    loopback::Peer jsonJob = job(json.Port());
    jsonJob.Write("beam" + progress);
    const auto line = nlohmann::json::parse(json.Line());
    EXPECT_EQ(line["job"], "beam");
    EXPECT_EQ(line["type"], "Progress");
    json.Signal(SIGINT);
    EXPECT_EQ(json.Wait(), 0);
}

TEST(ListenTool, KillAfterTheNthMessageOfEachJob) {
    Listener listener({"--kill-after", "2"});
    const int port = listener.Port();
    loopback::Peer first = job(port), second = job(port);
    first.Write("first" + progress);
    second.Write("second" + progress);
    EXPECT_EQ(listener.Line(), "first " + progressLine);
    EXPECT_EQ(listener.Line(), "second " + progressLine);
    EXPECT_TRUE(nothingComes(first));
    first.Write(done);
    EXPECT_EQ(listener.Line(), "first Done jobName=beam");
    EXPECT_EQ(first.Read(4), "Kill");
    EXPECT_TRUE(nothingComes(second));
    second.Write(done);
    EXPECT_EQ(listener.Line(), "second Done jobName=beam");
    EXPECT_EQ(second.Read(4), "Kill");

    // A job gone before its kill request arrives must not take the listener along.
    loopback::Peer hasty = job(port);
    hasty.Write("hasty" + progress);
    EXPECT_EQ(listener.Line(), "hasty " + progressLine);
    hasty.Write(done);
    hasty.Reset();
    EXPECT_TRUE(listener.ErrorsHold("job hasty disconnected"));
    loopback::Peer later = job(port);
    later.Write("later" + done);
    std::string line = listener.Line();
    if (line.starts_with("hasty Done ")) line = listener.Line();
    EXPECT_EQ(line, "later Done jobName=beam");
    listener.Signal(SIGTERM);
    EXPECT_EQ(listener.Wait(), 0);
}

TEST(ListenTool, ExitsWithAReasonWhenItCannotWork) {
    Listener wrong({"--raw", "--json"});
    EXPECT_EQ(wrong.Wait(), 2);
    EXPECT_NE(wrong.Errors().find("usage: ipm-listen"), std::string::npos);

    const loopback::Listener holder;
    Listener taken({"--port", std::to_string(holder.Port())});
    EXPECT_EQ(taken.Wait(), 1);
    EXPECT_NE(taken.Errors().find("cannot bind"), std::string::npos);

    Listener unread({});
    loopback::Peer beam = job(unread.Port());
    unread.CloseOutput();
    beam.Write("beam" + done);
    EXPECT_EQ(unread.Wait(), 1);
    EXPECT_NE(unread.Errors().find("cannot write to standard output"), std::string::npos);
}

}  // namespace
