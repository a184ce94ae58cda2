// The scripted job ipm-job with the Jabber transport against the listener
// ipm-listen in Jabber mode, both as programs, through the suite's shared
// message server (127.0.0.1:5222, domain "localhost"). Job names, listener
// accounts and resources carry the process id and a counter, so that tests
// and runs sharing the server never meet.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

const std::string domain = "localhost";
constexpr auto loginBound = 30s;

std::string uniqueName(const std::string& stem) {
    static std::atomic<int> counter{0};
    return stem + std::to_string(::getpid()) + "n" + std::to_string(++counter);
}

// The listener logged in as a fresh account; `ready` once it has said so
// (after the TCP port's line when it listens there too).
class Listener : public ChildProcess {
public:
    explicit Listener(std::vector<std::string> options = {}, const std::string& user = uniqueName("mon"),
                      const std::string& resource = uniqueName("desk"), const std::string& server = domain)
        : ChildProcess(arguments(user + "@" + server + "/" + resource, std::move(options))), user(user), resource(resource) {
        std::optional<std::string> line = OutputLine(loginBound);
        if (line && line->starts_with("listening on 127.0.0.1:")) line = OutputLine(loginBound);
        ready = line == "listening on " + user + "@" + server + "/" + resource;
    }

    std::string user;
    std::string resource;
    bool ready = false;

private:
    static std::vector<std::string> arguments(const std::string& address, std::vector<std::string> options) {
        options.insert(options.begin(), {IPM_LISTEN_PATH, "--jabber", address});
        return options;
    }
};

class Job : public ChildProcess {
public:
    Job(const Listener& listener, const std::string& name, const TempDir& logs)
        : ChildProcess({IPM_JOB_PATH, "-transport", "jabber", "job=" + name, "message=ALL", "indir=" + logs.Path(),
                        "msgserver=" + domain, "listener_name=" + listener.user,
                        "listener_resource=" + listener.resource}) {}
};

std::string progress(int step) {
    return R"({"send":"buffered","type":"Progress","format":"step=%i","ints":[)" + std::to_string(step) + "]}\n";
}

const std::string quoted =
    R"({"send":"buffered","type":"Note","format":"heading=%s","texts":["A&B \"q\" <x>"]})" "\n";

// The next line the listener prints, which must start with `start`.
void expectLine(Listener& listener, const std::string& start) {
    const std::optional<std::string> line = listener.OutputLine(20s);
    ASSERT_TRUE(line) << "no line starting " << start;
    EXPECT_TRUE(line->starts_with(start)) << *line;
}

// The listener's third report kills the job while it sleeps.
TEST(JabberTools, ReportsArriveInOrderAndKillAfterEndsTheJobWithStatus3) {
    Listener listener({"--json", "--kill-after", "3"});
    ASSERT_TRUE(listener.ready);
    TempDir logs;
    const std::string name = uniqueName("beam");
    Job job(listener, name, logs);
    job.Write(progress(1) + quoted + progress(2) + "{\"sleep\":30000}\n" + progress(3));
    EXPECT_EQ(job.Wait(40s), 3) << job.Errors();

    std::vector<nlohmann::json> lines;
    for (int i = 0; i < 3; ++i) {
        const std::optional<std::string> line = listener.OutputLine(20s);
        ASSERT_TRUE(line) << "line " << i << " missing";
        lines.push_back(nlohmann::json::parse(*line));
        EXPECT_EQ(lines.back()["job"], name);
    }
    EXPECT_EQ(lines[0]["fields"][0]["value"], 1);
    EXPECT_EQ(lines[1]["fields"][0]["value"], "A&B \"q\" <x>") << "quoted as the server relays it";
    EXPECT_EQ(lines[2]["fields"][0]["value"], 2);
}

// With the TCP port open too: one loop serves both, and "kill" typed for a
// Jabber job reaches it.
TEST(JabberTools, TheListenerOutlivesJobsThatLeaveOrVanishAndKillsOnRequest) {
    Listener listener({"--port", "0"});
    ASSERT_TRUE(listener.ready);
    TempDir logs;
    const std::string leaving = uniqueName("leaving");
    Job first(listener, leaving, logs);
    first.Write(progress(1));
    expectLine(listener, leaving + " Progress step=1 ");
    first.Write("{\"close\":true}\n");
    first.CloseInput();
    EXPECT_EQ(first.Wait(40s), 0) << first.Errors();
    expectLine(listener, leaving + " JobEnded ");

    const std::string staying = uniqueName("staying");
    Job third(listener, staying, logs);
    third.Write(progress(1) + progress(2));
    expectLine(listener, staying + " Progress step=1 ");
    expectLine(listener, staying + " Progress step=2 ");
    listener.Write("kill " + staying + "x\nkill " + staying + "\n");
    EXPECT_EQ(third.Wait(40s), 3) << third.Errors();

    listener.Signal(SIGTERM);
    EXPECT_EQ(listener.Wait(), 0) << listener.Errors();
    for (const std::string& said : {"job " + leaving + " disconnected", "no job named " + staying + "x",
                                    "sending Kill to job " + staying + " at "})
        EXPECT_NE(listener.Errors().find(said), std::string::npos) << said << " in " << listener.Errors();
}

TEST(JabberTools, TheListenerSaysWhyTheServerWillNotHaveIt) {
    Listener owner;
    ASSERT_TRUE(owner.ready);

    // A password given is for the secure login only, which this server cannot offer.
    Listener withPassword({"--password", "not-" + owner.user}, owner.user, uniqueName("desk"));
    EXPECT_FALSE(withPassword.ready);
    EXPECT_EQ(withPassword.Wait(), 1);
    EXPECT_NE(withPassword.Errors().find("offers no TLS"), std::string::npos) << withPassword.Errors();

    Listener unknownDomain({"--server-address", "127.0.0.1"}, uniqueName("mon"), uniqueName("desk"), "nowhere.invalid");
    EXPECT_FALSE(unknownDomain.ready);
    EXPECT_EQ(unknownDomain.Wait(), 1);
    EXPECT_NE(unknownDomain.Errors().find("host-unknown"), std::string::npos) << unknownDomain.Errors();

    // A second login at the same address makes the server drop the first.
    Listener replacement({}, owner.user, owner.resource);
    EXPECT_TRUE(replacement.ready);
    EXPECT_EQ(owner.Wait(), 1);
    EXPECT_NE(owner.Errors().find("conflict"), std::string::npos) << owner.Errors();
}

// The same requests as over the direct transport, through the server: one
// answered, one refused, one left; a job that offers none gets none; Kill
// still ends a job that takes requests.
TEST(JabberTools, OfferedRequestsAreAnsweredRefusedOrLeftAndKillStillKills) {
    Listener listener({"--answer-time", "1"});
    ASSERT_TRUE(listener.ready);
    TempDir logs;
    const std::string name = uniqueName("steered");
    Job job(listener, name, logs);
    job.Write(R"({"offer":{"checkpoint":"Write a restart file now","stop":"Stop"}})" "\n"
              R"({"answer":"done","text":"written"})" "\n" R"({"answer":"refused","text":"busy"})" "\n"
              R"({"answer":"none"})" "\n{\"sleep\":30000}\n");
    expectLine(listener, name + " RequestsOffered checkpoint=\"Write a restart file now\" stop=Stop ");
    listener.Write("request " + name + " checkpoint now\n");
    EXPECT_TRUE(job.OutputLine(20s).value_or("").ends_with(" checkpoint now"));
    expectLine(listener, name + " RequestAnswered id=");
    listener.Write("request " + name + " resize\nrequest " + name + " stop\nrequest " + name + " checkpoint\n");
    expectLine(listener, name + " RequestAnswered id=");

    const std::string old = uniqueName("old");
    Job oldStyle(listener, old, logs);
    oldStyle.Write(progress(1));
    expectLine(listener, old + " Progress step=1 ");
    listener.Write("request " + old + " checkpoint\nkill " + name + "\n");
    EXPECT_EQ(job.Wait(40s), 3) << job.Errors();
    expectLine(listener, name + " JobEnded ");
    oldStyle.Write(progress(2));
    oldStyle.CloseInput();
    EXPECT_EQ(oldStyle.Wait(40s), 0) << oldStyle.Errors();
    expectLine(listener, old + " Progress step=2 ");

    listener.Signal(SIGTERM);
    EXPECT_EQ(listener.Wait(), 0) << listener.Errors();
    for (const std::string& said : {"job " + name + " has not offered the request resize",
                                    "job " + old + " has not offered the request checkpoint"})
        EXPECT_NE(listener.Errors().find(said), std::string::npos) << said << " in " << listener.Errors();
}

}  // namespace
