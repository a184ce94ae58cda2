// The scripted job ipm-job through every end the listener's monitor tells
// apart, told the same on both transports: direct, and through the suite's
// shared message server (127.0.0.1:5222, domain "localhost"). Each state must
// reach the API and the history.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HistoryDatabase.h"
#include "support/MonitorApi.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using namespace monitor_api;

std::string uniqueName(const std::string& stem) {
    static std::atomic<int> counter{0};
    return stem + std::to_string(::getpid()) + "n" + std::to_string(++counter);
}

int numberAfter(const std::string& prefix, const std::string& line) {
    return line.starts_with(prefix) ? std::atoi(line.c_str() + prefix.size()) : 0;
}

// The listener with its monitor and history; a job silent after a second.
class Listener : public ChildProcess {
public:
    Listener(std::vector<std::string> transport, const std::string& history)
        : ChildProcess(arguments(std::move(transport), history)) {
        listening = OutputLine(30s).value_or("");
        const std::string page = OutputLine().value_or("");
        monitor = numberAfter("monitor at http://127.0.0.1:", page);
        token = page.substr(page.find("?token=") + 7);
    }
    std::string listening;
    int monitor = 0;
    std::string token;

private:
    static std::vector<std::string> arguments(std::vector<std::string> options, const std::string& history) {
        options.insert(options.begin(), IPM_LISTEN_PATH);
        options.insert(options.end(), {"--http", "0", "--db", history, "--silent-after", "1"});
        return options;
    }
};

// What differs between the transports: the listener's options and a job's
// command line, given the listener's first line.
struct Transport {
    std::vector<std::string> listenerOptions;
    std::function<std::vector<std::string>(const std::string& listening)> jobOptions;
};

Transport direct() {
    return {{}, [](const std::string& listening) {
                return std::vector<std::string>{"listener_name=127.0.0.1",
                                                "direct_port=" + std::to_string(numberAfter("listening on 127.0.0.1:", listening))};
            }};
}

Transport jabber() {
    const std::string user = uniqueName("mon"), resource = uniqueName("desk");
    return {{"--jabber", user + "@localhost/" + resource}, [user, resource](const std::string&) {
                return std::vector<std::string>{"-transport", "jabber", "msgserver=localhost", "listener_name=" + user,
                                                "listener_resource=" + resource};
            }};
}

std::string send(const std::string& type, const std::string& format, const std::string& values) {
    return R"({"send":"buffered","type":")" + type + R"(","format":")" + format + "\"," + values + "}\n";
}

std::string progress(int step) { return send("Progress", "step=%i steps=%i", R"("ints":[)" + std::to_string(step) + ",4]"); }

bool inState(const Json& row, const std::string& state) { return row["state"] == state; }

// The state reaches the history, as another process reads it.
bool stored(const std::string& history, int id, const std::string& state) {
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(50ms))
        if (HistoryDatabase(history).Count("jobs WHERE id = " + std::to_string(id) + " AND state = '" + state + "'") == 1)
            return true;
    return false;
}

void followEveryEnd(const Transport& transport) {
    TempDir dir;
    const std::string history = dir.File("history.db");
    Listener listener(transport.listenerOptions, history);
    ASSERT_TRUE(listener.listening.starts_with("listening on ")) << listener.Errors();
    const auto job = [&](const std::string& stem) {
        std::vector<std::string> arguments = {IPM_JOB_PATH, "job=" + uniqueName(stem), "message=ALL",
                                              "indir=" + dir.Path()};
        for (const std::string& option : transport.jobOptions(listener.listening)) arguments.push_back(option);
        return std::make_unique<ChildProcess>(arguments);
    };
    const auto reaches = [&](int id, const std::string& state) {
        Json row = rowWhen(listener, id, [&](const Json& row) { return inState(row, state); });
        EXPECT_TRUE(stored(history, id, state)) << "job " << id << " " << state << " in the history";
        return row;
    };

    // Finished: ended in order, one step of four done.
    auto finished = job("done");
    finished->Write(progress(1));
    finished->CloseInput();
    EXPECT_EQ(finished->Wait(), 0) << finished->Errors();
    const Json done = reaches(1, "finished");
    ASSERT_NE(done, nullptr);
    EXPECT_EQ((Json{done["progress"], done["needsLook"], done["ended"].is_number()}), Json::parse("[0.25, false, true]"));

    // Silent while connected and quiet, running again with its next
    // message, crashed when its process is killed outright.
    auto quiet = job("quiet");
    quiet->Write(progress(1));
    EXPECT_EQ(reaches(2, "silent")["needsLook"], true);
    quiet->Write(progress(2));
    EXPECT_NE(rowWhen(listener, 2, [](const Json& row) { return inState(row, "running") && row["step"] == 2; }),
              nullptr);
    quiet->Signal(SIGKILL);
    EXPECT_EQ(reaches(2, "crashed")["needsLook"], true);

    // Killed from the page.
    auto killed = job("killed");
    killed->Write(progress(1) + "{\"sleep\":30000}\n");
    ASSERT_NE(rowWhen(listener, 3, [](const Json& row) { return row["step"] == 1; }), nullptr);
    EXPECT_EQ(stop(listener, 3, listener.token), 200);
    EXPECT_EQ(killed->Wait(), 3);
    EXPECT_EQ(reaches(3, "killed")["needsLook"], false);

    // Stopped on request: its last answer before its end was a stop done.
    auto stopped = job("stopped");
    stopped->Write(send("RequestAnswered", "id=%i name=%s outcome=%s text=%s",
                        R"("ints":[1],"texts":["stop","done","after increment 3"])"));
    stopped->CloseInput();
    EXPECT_EQ(stopped->Wait(), 0) << stopped->Errors();
    EXPECT_NE(reaches(4, "stopped"), nullptr);
}

TEST(JobLife, DirectJobsReachEveryEndInTheApiAndTheHistory) { followEveryEnd(direct()); }

TEST(JobLife, JabberJobsReachEveryEndInTheApiAndTheHistory) { followEveryEnd(jabber()); }

}  // namespace
