// The job and the listener, as programs, through a message server that runs
// the configuration Debian ships: STARTTLS required, SCRAM over hashed
// passwords, no registration. The fixture starts it on 127.0.0.1:5222
// (domain "localhost") with a certificate from an authority made at run
// time, and the listener's account; the job's account is made here.

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

const std::string server = IPM_SECURE_PROSODY_DIR;
const std::string authority = server + "/ca.pem";
const std::string listenerPassword = "mon-secret-7";
const std::string jobPassword = "job-secret-8";

std::string hostAccount() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) + "kvjobs" : "";
}

// Makes or removes the job's account as the administrator does; true when prosodyctl succeeded.
bool administer(const std::string& command) {
    return std::system(("prosodyctl --config " + server + "/prosody.cfg.lua " + command + " >/dev/null 2>&1").c_str()) ==
           0;
}

std::string read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> withEnvironment(std::vector<std::string> settings, std::vector<std::string> command) {
    settings.insert(settings.begin(), "/usr/bin/env");
    settings.insert(settings.end(), command.begin(), command.end());
    return settings;
}

const std::string progress = R"({"send":"buffered","type":"Progress","format":"heading=%s","texts":["secret-report"]})" "\n";

class Job : public ChildProcess {
public:
    Job(const std::string& name, const TempDir& logs, std::vector<std::string> settings)
        : ChildProcess(withEnvironment(std::move(settings),
                                       {IPM_JOB_PATH, "-transport", "jabber", "job=" + name, "message=ALL",
                                        "indir=" + logs.Path(), "msgserver=localhost", "listener_name=mon",
                                        "listener_resource=desk"})) {}
};

// Records the traffic of the shared server (127.0.0.1:5222) into a file until
// destroyed. The stand-in servers of other tests listen on other loopback
// addresses, but their clients still connect from 127.0.0.1: only packets
// from or to that very address and port are taken.
class Capture : public ChildProcess {
public:
    explicit Capture(const std::string& file)
        : ChildProcess({"/usr/bin/tcpdump", "-i", "lo", "--immediate-mode", "-U", "-s", "0", "-Z", ::getpwuid(::geteuid())->pw_name,
                        "-w", file, "tcp and ((src host 127.0.0.1 and src port 5222) or (dst host 127.0.0.1 and dst port 5222))"}) {
        ErrorsHold("listening on", 10s);
    }
    ~Capture() { Signal(SIGINT); Wait(10s); }
};

// What a refused job leaves: a normal end, every message in its log, the
// reason on standard error.
void expectRefusal(const std::string& name, std::vector<std::string> settings, const std::string& reason) {
    TempDir logs;
    Job job(name, logs, std::move(settings));
    job.Write(progress + progress);
    job.CloseInput();
    EXPECT_EQ(job.Wait(60s), 0) << name << ": " << job.Errors();
    EXPECT_NE(job.Errors().find(reason), std::string::npos) << name << ": " << job.Errors();
    const std::string log = read(logs.File(name + ".ipm"));
    EXPECT_NE(log.find("secret-report"), log.rfind("secret-report")) << name << " logs both messages: " << log;
}

TEST(JabberSecure, RefusalsSayWhyAndTheJobRunsOn) {
    const std::string password = "IPM_JABBER_PASSWORD=" + jobPassword;
    const std::string trusted = "IPM_JABBER_CA_FILE=" + authority;
    administer("deluser " + hostAccount() + "@localhost");
    expectRefusal("missing", {password, trusted}, "may not exist");
    ASSERT_TRUE(administer("register " + hostAccount() + " localhost " + jobPassword));
    expectRefusal("wrongca", {password, "IPM_JABBER_CA_FILE=" + server + "/other-ca.pem"}, "does not verify");
    expectRefusal("wrongpw", {"IPM_JABBER_PASSWORD=not-" + jobPassword, trusted}, "refused the password");
    expectRefusal("legacy", {password, trusted, "IPM_JABBER_SECURITY=legacy"}, "never sent in clear text");
    expectRefusal("nopassword", {trusted, "IPM_JABBER_SECURITY=tls"}, "needs a password");
}

TEST(JabberSecure, ReportsAndKillCrossTheWireOnlyEncrypted) {
    administer("register " + hostAccount() + " localhost " + jobPassword);
    TempDir place;
    const std::string wire = place.File("wire.pcap");
    std::optional<Capture> capture(std::in_place, wire);
    ChildProcess listener(withEnvironment(
        {"IPM_JABBER_PASSWORD=" + listenerPassword, "IPM_JABBER_CA_FILE=" + authority},
        {IPM_LISTEN_PATH, "--jabber", "mon@localhost/desk", "--kill-after", "2"}));
    ASSERT_EQ(listener.OutputLine(30s), "listening on mon@localhost/desk") << listener.Errors();

    TempDir logs;
    Job job("beam", logs, {"IPM_JABBER_PASSWORD=" + jobPassword, "IPM_JABBER_CA_FILE=" + authority});
    job.Write(progress + progress + "{\"sleep\":30000}\n" + progress);
    EXPECT_EQ(job.Wait(60s), 3) << job.Errors();
    for (int i = 0; i < 2; ++i) {
        const std::optional<std::string> line = listener.OutputLine(20s);
        ASSERT_TRUE(line) << listener.Errors();
        EXPECT_EQ(line->rfind("beam Progress heading=secret-report", 0), 0u) << *line;
    }
    capture.reset();

    const std::string recorded = read(wire);
    EXPECT_NE(recorded.find("starttls"), std::string::npos) << "the capture saw the stream open";
    for (const std::string& secret : {std::string("secret-report"), std::string("Kill"), jobPassword,
                                      listenerPassword, std::string("Progress")})
        EXPECT_EQ(recorded.find(secret), std::string::npos) << secret << " crossed in clear text";
}

// The stock server reads a client at 10 kB/s: a job that stops right after
// many reports waits until the server has acknowledged them all. A job that
// dies is reported gone by the server, since the job announced itself to
// the listener.
TEST(JabberSecure, AStopWaitsForTheServerToTakeEveryReportAndADeadJobEnds) {
    administer("register " + hostAccount() + " localhost " + jobPassword);
    const std::vector<std::string> settings = {"IPM_JABBER_PASSWORD=" + jobPassword, "IPM_JABBER_CA_FILE=" + authority};
    ChildProcess listener(withEnvironment({"IPM_JABBER_PASSWORD=" + listenerPassword, "IPM_JABBER_CA_FILE=" + authority},
                                          {IPM_LISTEN_PATH, "--jabber", "mon@localhost/desk"}));
    ASSERT_EQ(listener.OutputLine(30s), "listening on mon@localhost/desk") << listener.Errors();
    TempDir logs;
    constexpr int reports = 100;
    {
        Job burst("burst", logs, settings);
        for (int n = 0; n < reports; ++n) burst.Write(progress);
        burst.CloseInput();
        EXPECT_EQ(burst.Wait(60s), 0) << burst.Errors();
        EXPECT_EQ(burst.Errors().find("not confirmed"), std::string::npos) << burst.Errors();
    }
    for (int n = 0; n < reports; ++n) {
        const std::optional<std::string> line = listener.OutputLine(20s);
        ASSERT_TRUE(line) << n << " reports arrived; " << listener.Errors();
        EXPECT_EQ(line->rfind("burst Progress", 0), 0u) << *line;
    }
    EXPECT_EQ(listener.OutputLine(20s).value_or("").rfind("burst JobEnded", 0), 0u) << "the orderly end, last";

    Job dying("dying", logs, settings);
    dying.Write(progress + "{\"sleep\":30000}\n");
    const std::optional<std::string> line = listener.OutputLine(20s);
    ASSERT_TRUE(line) << listener.Errors();
    EXPECT_EQ(line->rfind("dying Progress", 0), 0u) << *line;
    dying.Signal(SIGKILL);
    dying.Wait(10s);
    EXPECT_TRUE(listener.ErrorsHold("job dying disconnected", 20s)) << listener.Errors();
    listener.Signal(SIGTERM);
    listener.Wait();
}

// Alerts go out through a login of their own (--notify-as): over the
// encrypted stream, trusting the system's authorities (here the suite's,
// through SSL_CERT_FILE), with its password from the environment. The
// account told hears from that login when a job crashes.
TEST(JabberSecure, AlertsGoOutThroughALoginOfTheirOwn) {
    const std::string alertsPassword = "bot-secret-9";
    administer("register alerts localhost " + alertsPassword);
    ChildProcess told(withEnvironment({"IPM_JABBER_PASSWORD=" + listenerPassword, "IPM_JABBER_CA_FILE=" + authority},
                                      {IPM_LISTEN_PATH, "--jabber", "mon@localhost/desk"}));
    ASSERT_EQ(told.OutputLine(30s), "listening on mon@localhost/desk") << told.Errors();
    TempDir place;
    ChildProcess alerting(
        withEnvironment({"IPM_NOTIFY_PASSWORD=" + alertsPassword, "SSL_CERT_FILE=" + authority},
                        {IPM_LISTEN_PATH, "--port", "0", "--db", place.File("history.db"), "--alert", "crashed",
                         "--notify", "mon@localhost", "--notify-as", "alerts@localhost/bot"}));
    const std::string listening = alerting.OutputLine(30s).value_or("");
    ASSERT_EQ(listening.rfind("listening on 127.0.0.1:", 0), 0u) << listening << alerting.Errors();

    ChildProcess job({IPM_JOB_PATH, "job=lost", "message=ALL", "indir=" + place.Path(), "listener_name=127.0.0.1",
                      "direct_port=" + listening.substr(listening.rfind(':') + 1)});
    job.Write(progress + "{\"sleep\":30000}\n");
    EXPECT_EQ(alerting.OutputLine(20s).value_or("").rfind("lost Progress", 0), 0u) << alerting.Errors();
    job.Signal(SIGKILL);
    job.Wait(10s);
    EXPECT_TRUE(told.ErrorsHold("message from alerts@localhost/bot", 30s)) << told.Errors() << alerting.Errors();
    for (ChildProcess* listener : {&alerting, &told}) {
        listener->Signal(SIGTERM);
        listener->Wait();
    }
}

}  // namespace
