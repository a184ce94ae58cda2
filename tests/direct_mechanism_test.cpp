// The direct transport against a listener played by the test on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "foundation/eli_killsig.h"
#include "ipm/ipm.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "support/LoopbackPeer.h"
#include "support/TaskThread.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> killRaises{0};

std::vector<std::string> listenerAt(int port, const std::string& suffix = "") {
    return {"listener_name=127.0.0.1", "direct_port=" + std::to_string(port) + suffix};
}

cow_String progress(ipm_DirectMechanism& mechanism, int step) {
    return mechanism.Encode("Progress", "step=%i", &step, nullptr, nullptr, false);
}

std::string text(const cow_String& string) { return std::string(string.view()); }

class DirectMechanismTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestartTransmitter({});
        eli_clearkillsig();
        killRaises = 0;
        eli_setKillHandler([] { ++killRaises; });
    }
    void TearDown() override {
        eli_setKillHandler(nullptr);
        eli_clearkillsig();
        ipm_MessageTransmit::DestroyInstance();
    }

    // A mechanism of job "beam" connected to `listener`, and the listener's end.
    void Connect(const std::vector<std::string>& options = {}) {
        UseOptions(options.empty() ? listenerAt(listener.Port()) : options);
        mechanism->jobName = "beam";
        ASSERT_TRUE(mechanism->Initialize());
        peer = std::make_unique<loopback::Peer>(listener.Accept());
        ASSERT_EQ(peer->Read(4), "beam");
    }

    loopback::Listener listener;
    std::unique_ptr<ipm_DirectMechanism> mechanism = std::make_unique<ipm_DirectMechanism>();
    std::unique_ptr<loopback::Peer> peer;
};

TEST_F(DirectMechanismTest, SendsTheJobNameThenDocumentsBackToBack) {
    Connect();
    char message[] = "a<b";
    char* texts[] = {message};
    const cow_String first = progress(*mechanism, 1);
    const cow_String second = mechanism->Encode("Warning", "message=%s", nullptr, nullptr, texts, false);
    EXPECT_NE(text(second).find(">a&lt;b</message>"), std::string::npos) << "built with the direct settings";
    mechanism->Transmit(first);
    mechanism->Transmit(second);

    const std::string expected = text(first) + text(second);
    EXPECT_EQ(peer->Read(expected.size()), expected);
}

TEST_F(DirectMechanismTest, OnlyAReadHoldingKillRaisesTheKillSignal) {
    Connect();
    peer->Write("please Kill now");
    mechanism->Poll();
    EXPECT_TRUE(eli_killsigRaised());
    mechanism->Poll();
    EXPECT_EQ(killRaises, 1);

    eli_clearkillsig();
    peer->Write("kill");
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised());

    // One read takes at most 2000 bytes: "Kill" at 2100 comes with the next one.
    std::string bytes(2500, 'x');
    bytes.replace(2100, 4, "Kill");
    peer->Write(bytes);
    mechanism->Poll();
    EXPECT_FALSE(eli_killsigRaised());
    mechanism->Poll();
    EXPECT_TRUE(eli_killsigRaised());
    EXPECT_EQ(killRaises, 2);
}

TEST_F(DirectMechanismTest, StartsOnlyWithAReachableListenerAndAPortReadLikeAtoi) {
    loopback::Listener notListening(false);
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"listener_name=127.0.0.1"}, {"listener_name=127.0.0.1", "direct_port="},
          {"listener_name=127.0.0.1", "direct_port=abc"}, listenerAt(notListening.Port())}) {
        UseOptions(options);
        ipm_DirectMechanism refused;
        refused.jobName = "beam";
        EXPECT_FALSE(refused.Initialize()) << options.back();
        EXPECT_NO_THROW(refused.Poll());
    }
    ipm_DirectMechanism neverStarted;
    EXPECT_NO_THROW(neverStarted.Poll());
    EXPECT_FALSE(eli_killsigRaised());

    UseOptions({"listener_name=300.1.2.3", "direct_port=7000"});
    ipm_DirectMechanism unresolvable;
    EXPECT_THROW(unresolvable.Initialize(), csp_NetworkException);

    Connect(listenerAt(listener.Port(), "xyz"));
}

TEST_F(DirectMechanismTest, CloseEndsTheStreamAndLaterTransmissionsFail) {
    Connect();
    mechanism->Close();
    EXPECT_EQ(peer->ReadToEnd(), "");
    EXPECT_THROW(mechanism->Transmit(progress(*mechanism, 1)), csp_NetworkException);
    EXPECT_NO_THROW(mechanism->Poll());
    EXPECT_FALSE(eli_killsigRaised());
}

TEST_F(DirectMechanismTest, AGoneListenerFailsTransmissionsAndNotTheDestruction) {
    for (const bool reset : {false, true}) {
        mechanism = std::make_unique<ipm_DirectMechanism>();
        Connect();
        reset ? peer->Reset() : peer->Close();

        // The system may accept the first write after the peer has gone.
        bool raised = false;
        for (int i = 0; i < 20 && !raised; ++i) {
            try {
                mechanism->Transmit(progress(*mechanism, i));
                std::this_thread::sleep_for(10ms);
            } catch (const csp_NetworkException& error) {
                raised = true;
                EXPECT_EQ(error.getKind(), write_failed);
            }
        }
        EXPECT_TRUE(raised) << "reset " << reset;
        EXPECT_NO_THROW(mechanism->Transmit(progress(*mechanism, 99)));
        EXPECT_NO_THROW(mechanism.reset());
    }
}

TEST_F(DirectMechanismTest, AJobWhoseListenerDiesFinishesAndLogsEveryMessage) {
    TempDir dir;
    auto dying = std::make_unique<loopback::Listener>();
    int modules = 0;
    ipm_initialize(modules);
    ipm_MessageTransmit& transmitter = RestartTransmitter(
        {"job=front", "message=ALL", "indir=" + dir.Path(), "listener_name=127.0.0.1",
         "direct_port=" + std::to_string(dying->Port())});
    transmitter.SetMechanism(new ipm_DirectMechanism);
    mechanism->jobName = "front";
    std::string all;
    const auto send = [&](int step) {
        ipm_sendMessage("Progress", "step=%i", &step, nullptr, nullptr);
        all += text(progress(*mechanism, step));
    };
    {
        TaskThread task;
        for (int step = 1; step <= 3; ++step) send(step);
        loopback::Peer listenerEnd(dying->Accept());
        EXPECT_EQ(listenerEnd.Read(5 + all.size()), "front" + all);

        listenerEnd.Reset();
        dying.reset();
        for (int step = 4; step <= 6; ++step) send(step);
        transmitter.RequestStop();
        EXPECT_TRUE(task.EndsWithin());
    }
    ipm_finalize(modules);
    EXPECT_EQ(dir.Read("front.ipm"), all);
    EXPECT_FALSE(eli_killsigRaised());
}

}  // namespace
