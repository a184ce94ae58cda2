// Delivery by the message task over the direct transport, against real
// loopback listeners: pacing, kill requests and stops behind a backlog, a
// listener that comes late or goes away, and the backlog's bound, also while
// a write waits on a listener that never reads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/eli_killsig.h"
#include "ipm/ipm_Messaging.h"
#include "ipm/ipm_MessageTransmit.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"
#include "support/Waiting.h"

namespace {

void send(int step) { ipm_sendMessage("Progress", "step=%i", &step, nullptr, nullptr); }

// The steps of the documents in `text`, in order; found without a regular
// expression, which takes seconds over the megabytes of a backlog.
std::vector<int> steps(const std::string& text) {
    static const std::string step = "<step type=\"integer\">";
    std::vector<int> found;
    for (size_t at = text.find(step); at != std::string::npos; at = text.find(step, at))
        found.push_back(std::atoi(text.c_str() + (at += step.size())));
    return found;
}

std::vector<int> range(int first, int last) {
    std::vector<int> numbers;
    for (int n = first; n <= last; ++n) numbers.push_back(n);
    return numbers;
}

ipm_MessageTransmit::Delivery delivery() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().DeliveryState(); }

// A job reporting to `listener` as "beam", wired as a job wires the library.
class Delivery : public ::testing::Test {
protected:
    void SetUp() override { eli_clearkillsig(); }
    void TearDown() override {
        messaging.reset();
        for (const char* variable : {"IPM_SEND_INTERVAL_MS", "IPM_MAX_BACKLOG_MB", "IPM_WRITE_DOCUMENTS"}) unsetenv(variable);
    }

    void StartJob(const loopback::Listener& listener) {
        UseOptions({"job=beam", "message=ALL", "indir=" + logs.Path(), "listener_name=127.0.0.1",
                    "direct_port=" + std::to_string(listener.Port())});
        messaging.emplace("direct");
    }

    // The job stops; everything it buffered is in the log.
    void StopJob(int sent) {
        ASSERT_TRUE(messaging->Stop());
        messaging.reset();
        EXPECT_EQ(steps(logs.Read("beam.ipm")), range(1, sent));
    }

    TempDir logs;
    std::optional<ipm_Messaging> messaging;
};

// The peers and listeners of a case go before the job stops, so that its
// orderly disconnect finds the other side gone.
TEST_F(Delivery, PausesBetweenWritesYetAKillIsHeardBehindTheBacklogAndAStopDeliversItAll) {
    setenv("IPM_SEND_INTERVAL_MS", "60000", 1);
    setenv("IPM_WRITE_DOCUMENTS", "1000", 1);
    constexpr int backlog = 100000;
    {
        loopback::Listener listener(false);
        StartJob(listener);
        for (int step = 1; step <= 1001; ++step) send(step);
        listener.Listen();
        loopback::Peer peer(listener.Accept());
        EXPECT_EQ(peer.ReadThrough("</Progress>\n"),
                  "beam<Progress><step type=\"integer\">1</step><phase type=\"symconst\"></phase>"
                  "<jobName type=\"string\">beam</jobName></Progress>\n");
        EXPECT_EQ(steps(peer.ReadThrough("<step type=\"integer\">1000</step>")), range(2, 1000));
        peer.ReadThrough("</Progress>\n");
        for (int step = 1002; step <= backlog; ++step) send(step);
        EXPECT_TRUE(peer.Idle(300)) << "no write before the pause has passed";

        peer.Write("Kill");
        EXPECT_TRUE(WaitUntil([] { return eli_killsigRaised(); })) << "the kill waited for the backlog";
        EXPECT_TRUE(peer.Idle(0));

        std::future<std::string> received = std::async(std::launch::async, [&peer] {
            std::string all = peer.ReadToEnd();
            peer.Close();
            return all;
        });
        ASSERT_TRUE(messaging->Stop()) << "the stop did not deliver within its bound";
        EXPECT_EQ(steps(received.get()), range(1001, backlog));
    }
    StopJob(backlog);
}

TEST_F(Delivery, AListenerThatComesLateOrGoesAwayGetsEveryMessageAfterTheJobNameAgain) {
    {
        loopback::Listener listener(false);
        StartJob(listener);
        for (int step = 1; step <= 3; ++step) send(step);
        EXPECT_TRUE(WaitUntil([] {
            std::string reason;
            return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().DeliveryState(&reason) ==
                       ipm_MessageTransmit::Delivery::Connecting &&
                   reason.find("retrying") != std::string::npos;
        }));
        listener.Listen();
        std::optional<loopback::Peer> peer(std::in_place, listener.Accept());
        EXPECT_EQ(peer->Read(4), "beam");
        EXPECT_EQ(steps(peer->ReadThrough("<step type=\"integer\">3</step>")), range(1, 3));
        EXPECT_TRUE(WaitUntil([] { return delivery() == ipm_MessageTransmit::Delivery::Connected; }));

        peer.reset();
        for (int step = 4; step <= 6; ++step) send(step);
        peer.emplace(listener.Accept());
        EXPECT_EQ(peer->Read(4), "beam");
        EXPECT_EQ(steps(peer->ReadThrough("<step type=\"integer\">6</step>")), range(4, 6));
    }
    StopJob(6);
}

TEST_F(Delivery, ABacklogOverItsBoundDropsTheOldestAndTellsTheListenerHowMany) {
    setenv("IPM_MAX_BACKLOG_MB", "1", 1);
    constexpr int sent = 20000;  // about 2.2 MB of documents
    {
        loopback::Listener listener(false);
        StartJob(listener);
        for (int step = 1; step <= sent; ++step) send(step);
        listener.Listen();
        loopback::Peer peer(listener.Accept());
        const std::string notice = peer.ReadThrough("</Warning>\n");
        std::smatch dropped;
        ASSERT_TRUE(std::regex_search(notice, dropped, std::regex("<dropped type=\"integer\">([0-9]+)</dropped>")))
            << notice;
        const int first = std::stoi(dropped[1]) + 1;
        EXPECT_GT(first, 1);
        EXPECT_LT(first, sent);
        EXPECT_EQ(steps(peer.ReadThrough("<step type=\"integer\">" + std::to_string(sent) + "</step>")),
                  range(first, sent));
    }
    StopJob(sent);
}

TEST_F(Delivery, TheBoundHoldsAtEveryMomentWhileAWriteWaitsOnAListenerThatNeverReads) {
    setenv("IPM_MAX_BACKLOG_MB", "1", 1);
    constexpr int sent = 12000;  // about 13 MB, more than the connection and the bound hold
    std::string note(1000, 'n');
    char* texts[] = {note.data()};
    {
        loopback::Listener listener;
        StartJob(listener);
        loopback::Peer peer(listener.Accept());
        ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
        ipm_MessageTransmit::Backlog most{0, 0};
        for (int step = 1; step <= sent; ++step) {
            ipm_sendMessage("Progress", "step=%i note=%s", &step, nullptr, texts);
            std::lock_guard buffer(transmitter.BufferLock());
            const ipm_MessageTransmit::Backlog now = transmitter.BacklogState();
            most = {std::max(most.bytes, now.bytes), now.dropped};
        }
        EXPECT_LE(most.bytes, size_t{1} << 20);
        EXPECT_GT(most.dropped, 0);
    }
    StopJob(sent);
}

// Far more than one write waits when the listener comes: it goes out at the
// pace the listener reads, not one write per send interval.
TEST_F(Delivery, ABacklogOfManyWritesGoesOutAtThePaceTheListenerReads) {
    setenv("IPM_SEND_INTERVAL_MS", "60000", 1);
    constexpr int sent = 12000;  // about 1.3 MB: five full writes
    {
        loopback::Listener listener(false);
        StartJob(listener);
        for (int step = 1; step <= sent; ++step) send(step);
        listener.Listen();
        loopback::Peer peer(listener.Accept());
        EXPECT_EQ(peer.Read(4), "beam");
        EXPECT_EQ(steps(peer.ReadThrough("<step type=\"integer\">" + std::to_string(sent) + "</step>")),
                  range(1, sent));
    }
    StopJob(sent);
}

// A listener that accepts and drops at once is tried at growing intervals
// (0.5, 1, 2 s ...); only a connection that lasted makes the next attempt
// immediate again.
TEST_F(Delivery, ReconnectionsBackOffUntilAConnectionHasLasted) {
    using Clock = std::chrono::steady_clock;
    {
        loopback::Listener listener;
        StartJob(listener);
        send(1);
        std::vector<Clock::time_point> accepted;
        for (int attempt = 0; attempt < 3; ++attempt) {
            loopback::Peer dropped(listener.Accept());
            accepted.push_back(Clock::now());
        }
        Clock::time_point ended;
        {
            loopback::Peer lasting(listener.Accept());
            accepted.push_back(Clock::now());
            EXPECT_EQ(lasting.Read(4), "beam");
            std::this_thread::sleep_for(std::chrono::seconds(6));
            ended = Clock::now();
        }
        EXPECT_GT(accepted[3] - accepted[2], 2 * (accepted[1] - accepted[0])) << "the interval does not grow";
        loopback::Peer afresh(listener.Accept());
        EXPECT_LT(Clock::now() - ended, accepted[2] - accepted[1]) << "the interval did not start afresh";
    }
    StopJob(1);
}

}  // namespace
