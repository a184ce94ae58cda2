#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_system.h"
#include "ipm/ipm_JabberMechanism.h"
#include "tests/support/FakeJabberServer.h"

namespace {

constexpr auto hangBound = std::chrono::seconds(10);

// The account every job of this machine logs in with.
std::string accountName() { return std::string(utl_getHostName().view()) + "kvjobs"; }

void useOptions(const std::vector<std::string>& options) {
    thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(options);
}

std::string messageStanza(const std::string& content) {
    return "<message from='mon@srv/desk' type='chat'>" + content + "</message>";
}

// What the job wrote while it logged in, and the connection to go on with.
struct Login {
    fakejabber::Connection connection;
    std::string header;
    std::string registration;
    std::string authorization;
};

// Answers the registration with the server's stream header glued to a
// result, as a real server does, and the login with a result.
Login serveLogin(const fakejabber::Server& server) {
    fakejabber::Connection connection = server.Accept();
    std::string header = connection.ReadThrough("xmlns=\"jabber:client\">\n");
    std::string registration = connection.ReadThrough("</iq>\n");
    connection.Write(fakejabber::streamHeader(server.Address()) + "<iq type='result' id='r'/>");
    std::string authorization = connection.ReadThrough("</iq>\n");
    connection.Write("<iq type='result' id='a'/>");
    return {std::move(connection), header, registration, authorization};
}

class JabberMechanismTest : public testing::Test {
protected:
    void SetUp() override {
        eli_clearkillsig();
        useOptions({"msgserver=" + server.Address(), "listener_name=mon", "listener_resource=desk"});
        mechanism->jobName = "beam";
    }

    void TearDown() override {
        eli_clearkillsig();
        useOptions({});
    }

    // Initialize against the fake server, which answers as `script` says.
    template <class Script>
    auto InitializeAgainst(Script script, bool expected = true) {
        auto served = std::async(std::launch::async, script);
        EXPECT_EQ(mechanism->Initialize(), expected);
        EXPECT_EQ(served.wait_for(hangBound), std::future_status::ready);
        return served.get();
    }

    Login LogIn() {
        return InitializeAgainst([this] { return serveLogin(server); });
    }

    fakejabber::Server server;
    std::unique_ptr<ipm_JabberMechanism> mechanism = std::make_unique<ipm_JabberMechanism>();
};

}  // namespace

TEST_F(JabberMechanismTest, LogsInWithTheHostAccountAndSendsEachDocumentToTheListener) {
    Login login = LogIn();
    const std::string account = accountName();
    EXPECT_NE(login.header.find(" to=\"" + server.Address() + "\""), std::string::npos) << login.header;
    for (const std::string& part : {std::string("jabber:iq:register"), "<username>" + account + "</username>",
                                    "<password>" + account + "</password>", "<name>" + account + "</name>"})
        EXPECT_NE(login.registration.find(part), std::string::npos) << part << " in " << login.registration;
    for (const std::string& part : {std::string("jabber:iq:auth"), "<username>" + account + "</username>",
                                    "<password>" + account + "</password>", std::string("<resource>beam</resource>")})
        EXPECT_NE(login.authorization.find(part), std::string::npos) << part << " in " << login.authorization;

    int integers[] = {3};
    double doubles[] = {1e39};
    char heading[] = "a<b";
    char message[] = "c<d";
    char* texts[] = {heading, message};
    const cow_String document =
        mechanism->Encode("Progress", "step=%i heading=%s message=%s size=%r", integers, doubles, texts, false);
    // The Jabber settings: only heading (and stepName) escaped, no float range replacement.
    EXPECT_NE(document.view().find("<heading type=\"string\">a&lt;b</heading>"), std::string_view::npos);
    EXPECT_NE(document.view().find("<message type=\"string\">c<d</message>"), std::string_view::npos);
    EXPECT_NE(document.view().find(cow_String(1e39).view()), std::string_view::npos);
    ASSERT_EQ(document.view().back(), '\n');

    mechanism->Transmit(document);
    EXPECT_EQ(login.connection.ReadThrough("</message>\n"),
              "<message to=\"mon@" + server.Address() + "/desk\" type=\"chat\"><x xmlns=\"kelvane:msg\">" +
                  std::string(document.view()) + "</x></message>\n");
}

TEST_F(JabberMechanismTest, EmptyListenerOptionsLeaveEmptyAddressParts) {
    useOptions({"msgserver=" + server.Address()});
    Login login = LogIn();
    mechanism->Transmit("<a/>\n");
    EXPECT_EQ(login.connection.ReadThrough("</message>\n"),
              "<message to=\"@" + server.Address() +
                  "/\" type=\"chat\"><x xmlns=\"kelvane:msg\"><a/>\n</x></message>\n");
}

TEST_F(JabberMechanismTest, KillInTheExtensionRaisesTheKillSignalOnceTheFirstPollHasRun) {
    Login login = LogIn();

    // Before the first Poll the connection's default handler takes it.
    login.connection.Write(messageStanza("<x xmlns='kelvane:msg'>Kill job</x>"));
    mechanism->Transmit("<a/>\n");
    login.connection.ReadThrough("</message>\n");
    EXPECT_FALSE(eli_killsigRaised());

    login.connection.Write(messageStanza("<body>Kill job</body>"));
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised()) << "the body is not looked at";

    login.connection.Write(messageStanza("<x xmlns='kelvane:msg'>kill job</x>"));
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised()) << "the keyword is case-sensitive";

    login.connection.Write("<presence><status>Kill</status><x xmlns='kelvane:msg'>Kill</x></presence>");
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised()) << "only messages are kill requests";

    login.connection.Write(messageStanza("<x xmlns='kelvane:msg'><request>Kill job</request></x>"));
    mechanism->Poll();
    EXPECT_TRUE(eli_killsigRaised());

    // After Poll, a Transmit's brief read serves kill requests too.
    eli_clearkillsig();
    login.connection.Write(messageStanza("<x xmlns='kelvane:msg'>Kill</x>"));
    mechanism->Transmit("<b/>\n");
    EXPECT_TRUE(eli_killsigRaised());
}

TEST_F(JabberMechanismTest, CloseAnnouncesTheJobUnavailableBeforeTheStreamEnds) {
    Login login = LogIn();
    mechanism->Close();
    EXPECT_EQ(login.connection.ReadToEnd(), "<presence to=\"mon@" + server.Address() +
                                                "/desk\" type=\"unavailable\"></presence>\n</stream:stream>\n");
    EXPECT_NO_THROW(mechanism.reset());
}

TEST_F(JabberMechanismTest, DestructionEndsTheStreamWithoutAnnouncingAnything) {
    Login login = LogIn();
    mechanism.reset();
    EXPECT_EQ(login.connection.ReadToEnd(), "</stream:stream>\n");
}

TEST_F(JabberMechanismTest, UnreachableServersMakeInitializeFalse) {
    const std::string nobodyListens = fakejabber::unusedLoopbackAddress();
    for (const std::string& option : {std::string("msgserver=256.0.0.1"), std::string("msgserver="),
                                      std::string("listener_name=mon"), "msgserver=" + nobodyListens}) {
        SCOPED_TRACE(option);
        useOptions({option});
        ipm_JabberMechanism unreachable;
        EXPECT_FALSE(unreachable.Initialize());
        EXPECT_NO_THROW(unreachable.Poll());
        EXPECT_FALSE(eli_killsigRaised());
    }
}

TEST_F(JabberMechanismTest, PollBeforeInitializeReturnsQuietly) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(mechanism->Poll());
    EXPECT_NO_THROW(mechanism->Poll());
    EXPECT_LT(std::chrono::steady_clock::now() - start, hangBound);
    EXPECT_FALSE(eli_killsigRaised());
}

// A server that accepts and then says nothing holds Initialize (and with it
// the job's first buffered message) for as long as it stays silent.
TEST_F(JabberMechanismTest, SilentServerHoldsInitializeUntilItEndsItsStream) {
    std::atomic<bool> initialized{false};
    std::atomic<bool> returnedWhileSilent{false};
    auto served = std::async(std::launch::async, [&] {
        fakejabber::Connection connection = server.Accept();
        connection.ReadThrough("</iq>\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        returnedWhileSilent = initialized.load();
        connection.EndSending();
        return connection;
    });
    EXPECT_TRUE(mechanism->Initialize());
    initialized = true;
    ASSERT_EQ(served.wait_for(hangBound), std::future_status::ready);
    fakejabber::Connection connection = served.get();
    EXPECT_FALSE(returnedWhileSilent.load());
    EXPECT_NE(connection.ReadThrough("</iq>\n").find("jabber:iq:auth"), std::string::npos);
    EXPECT_NO_THROW(mechanism->Transmit("<a/>\n"));
    EXPECT_NO_THROW(mechanism->Poll());
    mechanism.reset();
    EXPECT_EQ(connection.ReadToEnd(), "<message to=\"mon@" + server.Address() +
                                          "/desk\" type=\"chat\"><x xmlns=\"kelvane:msg\"><a/>\n</x></message>\n"
                                          "</stream:stream>\n");
}

TEST_F(JabberMechanismTest, OddServerAnswersNeitherStopNorKillTheJob) {
    struct Case {
        const char* name;
        std::string registrationAnswer;
        std::string loginAnswer;  // none: the server ends its stream after the first answer
    };
    const std::vector<Case> cases = {
        {"stream error",
         fakejabber::streamHeader("elsewhere") +
             "<stream:error><host-unknown xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error></stream:stream>",
         ""},
        {"malformed", "<iq type='result'><<&&", "</x>Kill<message>"},
        {"lone space", " ", " "},
        {"stanzas glued to the header", fakejabber::streamHeader("x") + messageStanza("<x>Kill</x>"),
         messageStanza("<x>Kill</x>") + messageStanza("<x>Kill</x>")},
    };
    for (const Case& answers : cases) {
        SCOPED_TRACE(answers.name);
        mechanism = std::make_unique<ipm_JabberMechanism>();
        fakejabber::Connection connection = InitializeAgainst([&] {
            fakejabber::Connection accepted = server.Accept();
            accepted.ReadThrough("</iq>\n");
            accepted.Write(answers.registrationAnswer);
            if (answers.loginAnswer.empty()) {
                accepted.EndSending();
            } else {
                accepted.ReadThrough("</iq>\n");
                accepted.Write(answers.loginAnswer);
            }
            return accepted;
        });
        EXPECT_NO_THROW(mechanism->Transmit("<a/>\n"));
        EXPECT_NO_THROW(mechanism->Poll());
        EXPECT_FALSE(eli_killsigRaised());
        mechanism.reset();
        const std::string written = connection.ReadToEnd();
        EXPECT_NE(written.find("<x xmlns=\"kelvane:msg\"><a/>\n</x>"), std::string::npos) << written;
        EXPECT_TRUE(written.ends_with("</stream:stream>\n")) << written;
    }
}

TEST_F(JabberMechanismTest, ServerResetDuringLoginPassesTheReadFailureOut) {
    auto served = std::async(std::launch::async, [&] {
        fakejabber::Connection connection = server.Accept();
        connection.ReadThrough("</iq>\n");
        connection.Reset();
    });
    try {
        mechanism->Initialize();
        ADD_FAILURE() << "Initialize returned";
    } catch (const csp_NetworkException& failure) {
        EXPECT_EQ(failure.getKind(), read_failed);
    }
    EXPECT_EQ(served.wait_for(hangBound), std::future_status::ready);
    EXPECT_NO_THROW(mechanism.reset());
}
