// A whole job on the Jabber transport against message servers that fail:
// one that accepts the connection and says nothing, and a real one killed
// and restarted mid-run. The job's threads never wait for either, and every
// message reaches the listener once the server is back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipm/ipm_Messaging.h"
#include "ipm/ipm_MessageTransmit.h"
#include "support/JabberListener.h"
#include "support/LoopbackPeer.h"
#include "support/PrivateJabberServer.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"
#include "support/Waiting.h"

namespace {

void send(int step) { ipm_sendMessage("Progress", "step=%i", &step, nullptr, nullptr); }

std::string stepOf(int step) { return "<step type=\"integer\">" + std::to_string(step) + "</step>"; }

void useJabber(const TempDir& logs, const std::string& server, const std::string& listenerName) {
    UseOptions({"job=beam", "message=ALL", "indir=" + logs.Path(), "msgserver=" + server,
                "listener_name=" + listenerName, "listener_resource=desk"});
}

TEST(JabberFaults, ASilentServerHoldsNoSenderAndEveryMessageIsLogged) {
    setenv("IPM_NETWORK_TIMEOUT_MS", "1000", 1);
    TempDir logs;
    std::optional<loopback::Listener> server(std::in_place, true, loopback::UnusedJabberAddress(), loopback::jabberPort);
    useJabber(logs, server->Address(), "mon");
    std::optional<ipm_Messaging> messaging(std::in_place, "jabber");
    std::optional<loopback::Peer> silent(std::in_place, server->Accept());

    constexpr int perThread = 5000;
    std::vector<std::thread> senders;
    for (int thread = 0; thread < 3; ++thread)
        senders.emplace_back([thread] {
            for (int n = 0; n < perThread; ++n) {
                send(thread * perThread + n);
                if (n == 0) ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
            }
        });
    for (std::thread& sender : senders) sender.join();
    EXPECT_NE(thr_GlobalSingleton<ipm_MessageTransmit>::Instance().DeliveryState(),
              ipm_MessageTransmit::Delivery::Connected);

    silent.reset();
    server.reset();
    EXPECT_TRUE(messaging->Stop());
    messaging.reset();
    const std::string log = logs.Read("beam.ipm");
    size_t logged = 0;
    for (size_t at = 0; (at = log.find("</Progress>", at)) != std::string::npos; ++at) ++logged;
    EXPECT_EQ(logged, static_cast<size_t>(3 * perThread));
    unsetenv("IPM_NETWORK_TIMEOUT_MS");
}

TEST(JabberFaults, AServerRestartedMidRunGetsWhatWasSentMeanwhileAfterANewLogin) {
    jabbertest::PrivateServer server(IPM_PROSODY_TEMPLATE);
    const std::string monitor = "mon" + std::to_string(::getpid());
    std::optional<jabbertest::Listener> listener(std::in_place, server.Address(), server.Address(), monitor, "desk");
    TempDir logs;
    useJabber(logs, server.Address(), monitor);
    std::optional<ipm_Messaging> messaging(std::in_place, "jabber");
    const auto report = [&](int step) {
        return listener->Next([step](const jabbertest::Stanza& stanza) {
            return stanza.name == "message" && stanza.report && stanza.report->find(stepOf(step)) != std::string::npos;
        });
    };
    send(1);
    ASSERT_TRUE(report(1));

    server.Kill();
    listener.reset();
    EXPECT_TRUE(WaitUntil([] {
        return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().DeliveryState() !=
               ipm_MessageTransmit::Delivery::Connected;
    }));
    for (int step = 2; step <= 4; ++step) send(step);
    server.Restart();
    listener.emplace(server.Address(), server.Address(), monitor, "desk");
    for (int step = 5; step <= 6; ++step) send(step);
    for (int step = 2; step <= 6; ++step) EXPECT_TRUE(report(step)) << step;
    EXPECT_TRUE(messaging->Stop());
}

// A secure login that fails the same way at every attempt says so once, and
// the state gives that cause; settings that can never work end the attempts.
TEST(JabberFaults, EachLoginFailureIsToldOnceWithItsCauseAndHopelessSettingsAreNotRetried) {
    TempDir logs;
    loopback::Listener server(true, loopback::UnusedJabberAddress(), loopback::jabberPort);
    useJabber(logs, server.Address(), "mon");
    setenv("IPM_JABBER_SECURITY", "tls", 1);
    setenv("IPM_JABBER_PASSWORD", "secret", 1);
    setenv("IPM_NETWORK_TIMEOUT_MS", "1000", 1);
    testing::internal::CaptureStderr();
    {
        ipm_Messaging messaging("jabber");
        send(1);
        for (int attempt = 0; attempt < 3; ++attempt) loopback::Peer(server.Accept()).ReadThrough("version='1.0'>");
        std::string reason;
        EXPECT_TRUE(WaitUntil([&] {
            return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().DeliveryState(&reason) ==
                       ipm_MessageTransmit::Delivery::Connecting &&
                   !reason.empty();
        }));
        EXPECT_NE(reason.find("the server closed the connection"), std::string::npos) << reason;
        EXPECT_TRUE(messaging.Stop());
    }
    unsetenv("IPM_JABBER_PASSWORD");
    UseOptions({"job=beam", "message=ALL", "indir=" + logs.Path(), "msgserver=" + server.Address()});
    {
        ipm_Messaging messaging("jabber");
        send(1);
        std::string reason;
        EXPECT_TRUE(WaitUntil([&] {
            return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().DeliveryState(&reason) ==
                   ipm_MessageTransmit::Delivery::Off;
        })) << reason;
        EXPECT_NE(reason.find("needs a password"), std::string::npos) << reason;
        EXPECT_TRUE(messaging.Stop());
    }
    unsetenv("IPM_JABBER_SECURITY");
    unsetenv("IPM_NETWORK_TIMEOUT_MS");
    const std::string told = testing::internal::GetCapturedStderr();
    const auto count = [&](const std::string& text) {
        size_t found = 0;
        for (size_t at = 0; (at = told.find(text, at)) != std::string::npos; ++at) ++found;
        return found;
    };
    EXPECT_EQ(count("the server closed the connection"), 1u) << told;
    EXPECT_EQ(count("needs a password"), 1u) << told;
}

}  // namespace
