#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_RequestDesk.h"
#include "ipm/ipm_JabberMechanism.h"
#include "support/LoopbackPeer.h"
#include "support/TransmitterSetup.h"

namespace {

constexpr auto hangBound = std::chrono::seconds(10);

// The account every job of this machine logs in with.
std::string accountName() { return std::string(utl_getHostName().view()) + "kvjobs"; }

// What a server writes first: its own stream header.
std::string streamHeader(const std::string& domain) {
    return "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
           "xmlns:stream='http://etherx.jabber.org/streams' id='s1' from='" +
           domain + "' version='1.0'>";
}

std::string messageStanza(const std::string& content) {
    return "<message from='mon@srv/desk' type='chat'>" + content + "</message>";
}

// Answers the registration with the server's stream header glued to a
// result, as a real server does, and the login with a result; `written`
// receives what the job wrote meanwhile.
loopback::Peer serveLogin(const loopback::Listener& server, std::string& written) {
    loopback::Peer connection(server.Accept());
    written = connection.ReadThrough("</iq>\n");
    connection.Write(streamHeader(server.Address()) + "<iq type='result' id='r'/>");
    written += connection.ReadThrough("</iq>\n");
    connection.Write("<iq type='result' id='a'/>");
    return connection;
}

class JabberMechanismTest : public testing::Test {
protected:
    void SetUp() override {
        eli_clearkillsig();
        UseOptions({"msgserver=" + server.Address(), "listener_name=mon", "listener_resource=desk"});
        mechanism->jobName = "beam";
    }

    void TearDown() override {
        eli_clearkillsig();
        UseOptions({});
    }

    // Initialize against the fake server, which answers as `script` says.
    template <class Script>
    auto InitializeAgainst(Script script, bool expected = true) {
        auto served = std::async(std::launch::async, script);
        EXPECT_EQ(mechanism->Initialize(), expected);
        EXPECT_EQ(served.wait_for(hangBound), std::future_status::ready);
        return served.get();
    }

    loopback::Peer LogIn() {
        return InitializeAgainst([this] { return serveLogin(server, loginText); });
    }

    std::string loginText;

    loopback::Listener server = loopback::Listener::JabberServer();
    std::unique_ptr<ipm_JabberMechanism> mechanism = std::make_unique<ipm_JabberMechanism>();
};

}  // namespace

TEST_F(JabberMechanismTest, LogsInWithTheHostAccountAndSendsEachDocumentToTheListener) {
    loopback::Peer connection = LogIn();
    const std::string account = accountName(), to = " to=\"" + server.Address() + "\"";
    const std::string credentials = "<username>" + account + "</username><password>" + account + "</password>";
    EXPECT_EQ(loginText, "<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/streams\"" +
                             to + " xmlns=\"jabber:client\">\n<iq" + to +
                             " type=\"set\"><query xmlns=\"jabber:iq:register\">" + credentials + "<name>" + account +
                             "</name><email>dummy</email></query></iq>\n<iq" + to +
                             " type=\"set\"><query xmlns=\"jabber:iq:auth\">" + credentials +
                             "<resource>beam</resource></query></iq>\n");

    char message[] = "c<d";
    char* texts[] = {message};
    const cow_String document = mechanism->Encode("Progress", "message=%s", nullptr, nullptr, texts, false);
    EXPECT_NE(document.view().find("<message type=\"string\">c<d</message>"), std::string_view::npos)
        << "built with the Jabber settings";

    mechanism->Transmit(document);
    EXPECT_EQ(connection.ReadThrough("</message>\n"),
              "<message to=\"mon@" + server.Address() + "/desk\" type=\"chat\"><x xmlns=\"kelvane:msg\">" +
                  std::string(document.view()) + "</x></message>\n");
}

TEST_F(JabberMechanismTest, KillInTheExtensionRaisesTheKillSignalOnceTheFirstPollHasRun) {
    loopback::Peer connection = LogIn();

    // Before the first Poll the connection's default handler takes it.
    connection.Write(messageStanza("<x xmlns='kelvane:msg'>Kill job</x>"));
    mechanism->Transmit("<a/>\n");
    connection.ReadThrough("</message>\n");
    EXPECT_FALSE(eli_killsigRaised());

    connection.Write(messageStanza("<body>Kill job</body>"));
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised()) << "the body is not looked at";

    connection.Write("<presence><status>Kill</status><x xmlns='kelvane:msg'>Kill</x></presence>");
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised()) << "only messages are kill requests";

    connection.Write(messageStanza("<x xmlns='kelvane:msg'><request>Kill job</request></x>"));
    mechanism->Poll();
    EXPECT_TRUE(eli_killsigRaised());

    // After Poll, a Transmit's brief read serves kill requests too.
    eli_clearkillsig();
    connection.Write(messageStanza("<x xmlns='kelvane:msg'>Kill</x>"));
    mechanism->Transmit("<b/>\n");
    EXPECT_TRUE(eli_killsigRaised());
}

TEST_F(JabberMechanismTest, CloseAnnouncesTheJobUnavailableAndDestructionOnlyEndsTheStream) {
    for (const bool closed : {true, false}) {
        mechanism = std::make_unique<ipm_JabberMechanism>();
        loopback::Peer connection = LogIn();
        if (closed) mechanism->Close();
        mechanism.reset();
        const std::string unavailable = "<presence to=\"mon@" + server.Address() + "/desk\" type=\"unavailable\"></presence>\n";
        EXPECT_EQ(connection.ReadToEnd(), (closed ? unavailable : "") + "</stream:stream>\n");
    }
}

TEST_F(JabberMechanismTest, UnreachableOrUnstartedServersPollQuietly) {
    EXPECT_NO_THROW(mechanism->Poll());
    const std::string nobodyListens = loopback::UnusedJabberAddress();
    for (const std::string& option : {std::string("msgserver=256.0.0.1"), "msgserver=" + nobodyListens}) {
        SCOPED_TRACE(option);
        UseOptions({option});
        ipm_JabberMechanism unreachable;
        EXPECT_FALSE(unreachable.Initialize());
        EXPECT_NO_THROW(unreachable.Poll());
    }
    EXPECT_FALSE(eli_killsigRaised());
}

TEST_F(JabberMechanismTest, OddServerAnswersNeitherStopNorKillTheJob) {
    struct Case {
        const char* name;
        std::string registrationAnswer;
        std::string loginAnswer;  // none: the server ends its stream after the first answer
    };
    const std::vector<Case> cases = {
        {"stream error",
         streamHeader("elsewhere") +
             "<stream:error><host-unknown xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error></stream:stream>",
         ""},
        {"silence until the stream ends", "", ""},
        {"stanzas glued to the header", streamHeader("x") + messageStanza("<x>Kill</x>"),
         messageStanza("<x>Kill</x>") + messageStanza("<x>Kill</x>")},
    };
    for (const Case& answers : cases) {
        SCOPED_TRACE(answers.name);
        mechanism = std::make_unique<ipm_JabberMechanism>();
        loopback::Peer connection = InitializeAgainst([&] {
            loopback::Peer accepted(server.Accept());
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
        // A server that ended its stream is reported, so the job logs in again.
        if (answers.loginAnswer.empty())
            EXPECT_THROW(mechanism->Poll(), csp_NetworkException);
        else
            EXPECT_NO_THROW(mechanism->Poll());
        EXPECT_FALSE(eli_killsigRaised());
        mechanism.reset();
        const std::string written = connection.ReadToEnd();
        EXPECT_NE(written.find("<x xmlns=\"kelvane:msg\"><a/>\n</x>"), std::string::npos) << written;
        EXPECT_TRUE(written.ends_with("</stream:stream>\n")) << written;
        if (answers.loginAnswer.empty()) {
            EXPECT_NE(written.find("jabber:iq:auth"), std::string::npos);
        }
    }
}

// A malformed stream can carry no kill any more: it fails like a reset.
TEST_F(JabberMechanismTest, ServerResetOrMalformedStreamDuringLoginPassesTheReadFailureOut) {
    for (const bool reset : {true, false}) {
        mechanism = std::make_unique<ipm_JabberMechanism>();
        auto served = std::async(std::launch::async, [&] {
            loopback::Peer connection(server.Accept());
            connection.ReadThrough("</iq>\n");
            if (reset)
                connection.Reset();
            else
                connection.Write(streamHeader("x") + "<iq type='result'><<&&");
            return connection;
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
}

TEST_F(JabberMechanismTest, RequestElementsReachTheDeskOnlyWhenOfferedAndNeverKill) {
    loopback::Peer connection = LogIn();
    ipm_RequestDesk& desk = ipm_RequestDesk::Instance();
    desk.Reset();
    const std::string request = "<x xmlns='kelvane:msg'><request id='5' name='checkpoint' value='a &amp; &quot;b&quot;'/></x>";
    connection.Write(messageStanza(request));
    mechanism->Poll();
    bool offered = false;
    EXPECT_FALSE(desk.Take(offered)) << "a job that offers nothing takes none";

    desk.Offer({"checkpoint"});
    connection.Write(messageStanza("<x xmlns='kelvane:msg'><request id='6' name='checkpoint' value='a &amp; &quot;b&quot;'/></x>"));
    connection.Write(messageStanza("<x xmlns='kelvane:msg'><request id='6' name='checkpoint'/></x>"));
    mechanism->Poll();
    mechanism->Poll();
    const auto taken = desk.Take(offered);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->id, 6);
    EXPECT_EQ(taken->value, "a & \"b\"");
    EXPECT_FALSE(desk.Take(offered)) << "the repeated id is turned away";
    EXPECT_FALSE(eli_killsigRaised());
    desk.Reset();
}
