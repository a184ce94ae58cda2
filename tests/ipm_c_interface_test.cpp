// The C wiring interface: result codes, the delivery status, kill requests,
// what a misbehaving listener can and cannot do to the job's entry points,
// and the format counts the bindings rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "foundation/eli_killsig.h"
#include "ipm/ipm.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_c.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"
#include "support/Waiting.h"

namespace {

class Options {
public:
    explicit Options(std::vector<std::string> list) : list(std::move(list)) {
        for (const std::string& option : this->list) pointers.push_back(option.c_str());
    }
    int Count() const { return static_cast<int>(pointers.size()); }
    const char* const* Values() const { return pointers.data(); }

private:
    std::vector<std::string> list;
    std::vector<const char*> pointers;
};

Options jobOptions(const TempDir& dir, const std::string& listenerName, int port) {
    return Options({"job=beam", "message=ALL", "indir=" + dir.Path(), "listener_name=" + listenerName,
                    "direct_port=" + std::to_string(port)});
}

// The transmitter made by a test's own use goes with a start-up pair.
void destroyTransmitter() {
    int modules = 0;
    ipm_initialize(modules);
    ipm_finalize(modules);
}

// The listener's side until the job ends the stream; the job's orderly
// disconnect waits for the listener to hang up in turn.
std::future<std::string> readUntilHangUp(loopback::Peer& peer) {
    return std::async(std::launch::async, [&peer] {
        std::string stream = peer.ReadToEnd();
        peer.Close();
        return stream;
    });
}

int startDirect(const Options& options) { return ipm_start("direct", options.Count(), options.Values()); }

int sendStep(int step) {
    const int ints[] = {step};
    const char* const texts[] = {"A&B"};
    return ipm_send("Progress", "step=%i heading=%s", ints, nullptr, texts);
}

TEST(CInterface, ResultCodesForMisuse) {
    TempDir dir;
    loopback::Listener listener;
    const Options options = jobOptions(dir, "127.0.0.1", listener.Port());

    EXPECT_EQ(ipm_stop(), IPM_NOT_STARTED);
    EXPECT_EQ(sendStep(1), IPM_NOT_STARTED);
    EXPECT_EQ(ipm_sendDirect("Progress", "", nullptr, nullptr, nullptr), IPM_NOT_STARTED);
    EXPECT_EQ(ipm_start("carrier-pigeon", options.Count(), options.Values()), IPM_UNKNOWN_TRANSPORT);
    EXPECT_EQ(ipm_start(nullptr, 0, nullptr), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_start("direct", -1, options.Values()), IPM_BAD_ARGUMENT);
    const char* const withHole[] = {"job=beam", nullptr};
    EXPECT_EQ(ipm_start("direct", 2, withHole), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_stop(), IPM_NOT_STARTED) << "a refused start leaves nothing running";

    ASSERT_EQ(startDirect(options), IPM_OK);
    EXPECT_EQ(startDirect(options), IPM_ALREADY_STARTED);
    EXPECT_EQ(ipm_start("jabber", 0, nullptr), IPM_ALREADY_STARTED);
    EXPECT_EQ(ipm_stop(), IPM_OK);
    EXPECT_EQ(ipm_stop(), IPM_NOT_STARTED);
    EXPECT_FALSE(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance()) << "stop destroys the transmitter";


    for (int result = IPM_OK; result <= IPM_FAILED + 1; ++result) EXPECT_STRNE(ipm_resultText(result), "");
}

std::atomic<int> stopFromHandler{-1};
std::atomic<int> sendFromHandler{-1};

void stopInsideTheTask() {
    stopFromHandler = ipm_stop();
    sendFromHandler = ipm_sendDirect("Stopping", "", nullptr, nullptr, nullptr);
}

TEST(CInterface, AKillRequestRaisesTheFlagAndAHandlerCannotStopItsOwnTask) {
    TempDir dir;
    loopback::Listener listener;
    ASSERT_EQ(startDirect(jobOptions(dir, "127.0.0.1", listener.Port())), IPM_OK);
    eli_setKillHandler(stopInsideTheTask);
    ASSERT_EQ(sendStep(1), IPM_OK);
    loopback::Peer peer(listener.Accept());
    EXPECT_EQ(ipm_killRequested(), 0);

    peer.Write("Kill");
    EXPECT_TRUE(WaitUntil([] { return ipm_killRequested() == 1; }));
    EXPECT_TRUE(WaitUntil([] { return sendFromHandler.load() != -1; }));
    eli_setKillHandler(nullptr);
    EXPECT_EQ(stopFromHandler, IPM_WRONG_THREAD);
    EXPECT_EQ(sendFromHandler, IPM_OK);

    std::future<std::string> received = readUntilHangUp(peer);
    ASSERT_EQ(ipm_stop(), IPM_OK);
    EXPECT_NE(received.get().find("<Stopping>"), std::string::npos);
    EXPECT_EQ(ipm_killRequested(), 1) << "the flag outlives the stop";
    ASSERT_EQ(startDirect(jobOptions(dir, "127.0.0.1", listener.Port())), IPM_OK);
    EXPECT_EQ(ipm_killRequested(), 0) << "a new start lowers it";
    EXPECT_EQ(ipm_stop(), IPM_OK);
}

std::string status() {
    char reason[256];
    const int state = ipm_status(reason, sizeof reason);
    return std::to_string(state) + " " + reason;
}

TEST(CInterface, TheStatusFollowsTheTransportAndNoFailureEscapesTheEntryPoints) {
    TempDir dir;
    EXPECT_EQ(status(), "0 messaging is not started");
    ASSERT_EQ(startDirect(jobOptions(dir, "300.1.2.3", 7000)), IPM_OK);
    EXPECT_TRUE(WaitUntil([] { return status().find("1 cannot connect") == 0; })) << status();
    EXPECT_NE(status().find("300.1.2.3"), std::string::npos) << status();
    EXPECT_EQ(sendStep(1), IPM_OK) << "buffered while the transport is down";
    ASSERT_EQ(ipm_stop(), IPM_OK);

    loopback::Listener listener;
    ASSERT_EQ(startDirect(jobOptions(dir, "127.0.0.1", listener.Port())), IPM_OK);
    EXPECT_EQ(ipm_sendDirect("JobStarted", "", nullptr, nullptr, nullptr), IPM_OK) << "waits for the start";
    EXPECT_EQ(status(), "2 ");
    std::optional<loopback::Peer> peer(std::in_place, listener.Accept());
    EXPECT_EQ(peer->ReadThrough("</Started>\n").substr(0, 13), "beam<Started>") << "a start message";
    peer->Reset();
    for (int attempt = 0; attempt < 3; ++attempt) ipm_sendMessageDirect("Late", "", nullptr, nullptr, nullptr);
    peer.emplace(listener.Accept());
    EXPECT_EQ(peer->Read(4), "beam") << "the job reconnected";
    peer.reset();
    EXPECT_EQ(ipm_stop(), IPM_OK);
    EXPECT_EQ(ipm_stop(), IPM_NOT_STARTED);
}

// A listener that trickles bytes without ever hanging up cannot hold the
// job's end. (One that never reads: the Python binding's test.)
TEST(CInterface, AListenerThatNeverHangsUpCannotHoldTheEnd) {
    // Without the stop's orderly close, the transport's destruction drains
    // what the listener still sends.
    loopback::Listener chatty;
    UseOptions({"listener_name=127.0.0.1", "direct_port=" + std::to_string(chatty.Port())});
    auto transport = std::make_unique<ipm_DirectMechanism>();
    ASSERT_TRUE(transport->Initialize());
    loopback::Peer peer(chatty.Accept());
    std::atomic<bool> stopped{false};
    std::thread trickle([&] {
        while (!stopped) {
            peer.Write("x");
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    std::future<void> gone = std::async(std::launch::async, [&] { transport.reset(); });
    EXPECT_EQ(gone.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    stopped = true;
    trickle.join();
    destroyTransmitter();
}

struct Counts {
    int ints, doubles, texts;
    bool operator==(const Counts&) const = default;
};

Counts countsOf(const char* format) {
    Counts counts{-1, -1, -1};
    EXPECT_EQ(ipm_countFormatValues(format, &counts.ints, &counts.doubles, &counts.texts), IPM_OK);
    return counts;
}

TEST(CInterface, FormatCounts) {
    EXPECT_EQ(countsOf("a=%i b=%I c=%r d=%R e=%s f=%S g=%b h=%B k=%e l=%E"), (Counts{2, 2, 6}));
    EXPECT_EQ(countsOf("a=%ii b=% c=%q d e=i f%i=%r"), (Counts{0, 0, 0}));
    EXPECT_EQ(countsOf("=%s %i phase=%e"), (Counts{1, 0, 2}));
    EXPECT_EQ(countsOf(nullptr), (Counts{0, 0, 0}));
    int ints = 0;
    EXPECT_EQ(ipm_countFormatValues("a=%i", &ints, nullptr, &ints), IPM_BAD_ARGUMENT);

}

}  // namespace
