// The Jabber transport against a real message server: the suite's shared
// server on 127.0.0.1 (domain "localhost"), and for the crash case a private
// one. Every job and listener name carries the process id, so that runs and
// programs sharing the server never meet.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_system.h"
#include "ipm/ipm.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "tests/support/JabberListener.h"
#include "tests/support/TaskThread.h"
#include "tests/support/TempDir.h"
#include "tests/support/TransmitterSetup.h"
#include "tests/support/Waiting.h"

namespace {

const std::string sharedServer = "127.0.0.1";
const std::string sharedDomain = "localhost";

std::string uniqueName(const std::string& stem) {
    static std::atomic<int> counter{0};
    return stem + std::to_string(::getpid()) + "n" + std::to_string(++counter);
}

std::string accountName() { return std::string(utl_getHostName().view()) + "kvjobs"; }

// The documents of a message log, each with its closing line feed.
std::vector<std::string> loggedDocuments(const std::string& log) {
    std::vector<std::string> documents;
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
        documents.push_back(log.substr(start, end - start + 1));
    return documents;
}

auto chatFrom(const std::string& sender) {
    return [sender](const jabbertest::Stanza& stanza) {
        return stanza.name == "message" && stanza.Attribute("from") == sender;
    };
}

std::string killRequest(const std::string& to, const std::string& content) {
    return "<message to='" + to + "' type='chat'>" + content + "</message>";
}

// A job wired as a real one is: library started, Jabber transport installed,
// log file in a temporary directory. The message task is the test's to run.
class JabberJob : public testing::Test {
protected:
    void SetUp() override { eli_clearkillsig(); }

    void TearDown() override {
        FinishJob();
        useOptions({});
        eli_clearkillsig();
    }

    static void useOptions(const std::vector<std::string>& options) {
        thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(options);
    }

    // Starts the library as job `jobName`, reporting to `listener` at `server`.
    void StartJob(const std::string& server, const jabbertest::Listener& listener, const std::string& resource) {
        const std::string listenerName = listener.Jid().substr(0, listener.Jid().find('@'));
        ipm_initialize(modules);
        started = true;
        ipm_MessageTransmit& transmitter =
            RestartTransmitter({"job=" + jobName, "message=ALL", "indir=" + logs.Path(), "msgserver=" + server,
                                "listener_name=" + listenerName, "listener_resource=" + resource});
        transmitter.SetMechanism(new ipm_JabberMechanism);
    }

    // Destroys the transmitter with its transport and closes the log.
    void FinishJob() {
        if (started) ipm_finalize(modules);
        started = false;
    }

    std::string JobJid(const std::string& domain) const { return accountName() + "@" + domain + "/" + jobName; }

    std::string Log() const { return logs.Read(jobName + ".ipm"); }

    static void Send(const char* type, const char* format, std::vector<int> integers = {},
                     std::vector<double> doubles = {}, std::vector<std::string> texts = {}) {
        std::vector<char*> pointers;
        for (std::string& text : texts) pointers.push_back(text.data());
        ipm_sendMessage(type, format, integers.data(), doubles.data(), pointers.data());
    }

    int modules = 0;
    bool started = false;
    TempDir logs;
    std::string jobName = uniqueName("job");
};

}  // namespace

TEST_F(JabberJob, ReportsReachTheListenerAsChatMessagesAndAKillToTheJobsAddressRaisesTheSignal) {
    jabbertest::Listener listener(sharedServer, sharedDomain, uniqueName("monitor"), "desk");
    StartJob(sharedDomain, listener, "desk");
    std::vector<jabbertest::Stanza> received;
    const auto receive = [&] {
        auto chat = listener.Next(chatFrom(JobJid(sharedDomain)));
        ASSERT_TRUE(chat) << "report " << received.size() << " never arrived";
        received.push_back(*chat);
    };
    {
        TaskThread task;
        Send("JobStarted", "solver=%s", {}, {}, {"beam \"3D\""});
        Send("Progress", "step=%i heading=%s phase=%e residual=%r", {7}, {1.5e-9}, {"a<b&c>d", "Solving"});
        Send("Warning", "stepName=%s count=%i", {2}, {}, {"<&>"});
        for (int i = 0; i < 3; ++i) receive();

        listener.Send(killRequest(JobJid(sharedDomain), "<x xmlns='kelvane:msg'>Kill job</x>"));
        EXPECT_TRUE(WaitUntil([] { return eli_killsigRaised(); }));
        // The job goes on reporting until it ends itself.
        Send("Progress", "step=%i", {2});
        receive();
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().RequestStop();
        EXPECT_TRUE(task.EndsWithin());
    }
    FinishJob();

    const std::vector<std::string> logged = loggedDocuments(Log());
    ASSERT_EQ(logged.size(), 4u) << Log();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_TRUE(logged[0].starts_with("<Started>")) << logged[0];
    EXPECT_NE(logged[1].find("a&lt;b&amp;c&gt;d"), std::string::npos) << logged[1];
    for (size_t i = 0; i < logged.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(received[i].Attribute("type"), "chat");
        EXPECT_EQ(received[i].Attribute("to"), listener.Jid());
        ASSERT_TRUE(received[i].report);
        EXPECT_EQ(*received[i].report, logged[i]);
        EXPECT_EQ(received[i].child, "x") << "nothing but the report";
    }
}

TEST_F(JabberJob, JobsOfOneHostShareTheAccountAndCloseAnnouncesEachUnavailable) {
    jabbertest::Listener listener(sharedServer, sharedDomain, uniqueName("monitor"), "desk");
    const std::string listenerName = listener.Jid().substr(0, listener.Jid().find('@'));
    useOptions({"msgserver=" + sharedDomain, "listener_name=" + listenerName, "listener_resource=desk"});
    ipm_JabberMechanism first;
    ipm_JabberMechanism second;
    first.jobName = jobName.c_str();
    second.jobName = (jobName + "b").c_str();
    ASSERT_TRUE(first.Initialize());
    ASSERT_TRUE(second.Initialize());

    first.Transmit("<One>1</One>\n");
    second.Transmit("<Two>2</Two>\n");
    const auto one = listener.Next(chatFrom(JobJid(sharedDomain)));
    const auto two = listener.Next(chatFrom(JobJid(sharedDomain) + "b"));
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->report.value_or(""), "<One>1</One>\n");
    EXPECT_EQ(two->report.value_or(""), "<Two>2</Two>\n");

    second.Close();
    const auto gone = listener.Next([&](const jabbertest::Stanza& stanza) {
        return stanza.name == "presence" && stanza.Attribute("from") == JobJid(sharedDomain) + "b";
    });
    ASSERT_TRUE(gone) << "no presence after Close";
    EXPECT_EQ(gone->Attribute("type"), "unavailable");

    // The other job's stream is untouched.
    first.Transmit("<Three>3</Three>\n");
    EXPECT_TRUE(listener.Next(chatFrom(JobJid(sharedDomain))));
}

// The Jabber settings leave "message" fields unescaped, so a "<" in one makes
// the report malformed XML, and the server ends the job's stream over it.
TEST_F(JabberJob, ServerEndingTheStreamOverAMalformedReportLeavesTheJobRunning) {
    jabbertest::Listener listener(sharedServer, sharedDomain, uniqueName("monitor"), "desk");
    StartJob(sharedDomain, listener, "desk");
    {
        TaskThread task;
        Send("Progress", "step=%i", {1});
        ASSERT_TRUE(listener.Next(chatFrom(JobJid(sharedDomain))));
        Send("Note", "message=%s", {}, {}, {"x<y"});
        for (int step = 2; step <= 4; ++step) {
            Send("Progress", "step=%i", {step});
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().RequestStop();
        EXPECT_TRUE(task.EndsWithin());
    }
    FinishJob();
    EXPECT_EQ(loggedDocuments(Log()).size(), 5u) << Log();
    EXPECT_FALSE(eli_killsigRaised());
}
