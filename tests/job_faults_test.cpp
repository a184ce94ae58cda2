// A whole job (library started, direct transport, message task on its own
// thread, log file) against listeners that misbehave on real loopback
// connections. In every case the job's own calls stay quick, the job ends,
// and its log holds every message it sent.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "foundation/eli_killsig.h"
#include "ipm/ipm.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "support/LoopbackPeer.h"
#include "support/TaskThread.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"
#include "support/Waiting.h"

namespace {

using namespace std::chrono_literals;

class JobFaults : public ::testing::Test {
protected:
    void SetUp() override {
        eli_clearkillsig();
        ipm_initialize(modules);
        RestartTransmitter({"job=front", "message=ALL", "indir=" + dir.Path(), "listener_name=127.0.0.1",
                            "direct_port=" + std::to_string(listener.Port())})
            .SetMechanism(new ipm_DirectMechanism);
        encoder.jobName = "front";
    }

    void TearDown() override {
        if (modules) ipm_finalize(modules);
        eli_clearkillsig();
    }

    // Sends a buffered progress message and returns its document.
    std::string Send(int step, std::string heading) {
        char* texts[] = {heading.data()};
        ipm_sendMessage("Progress", "step=%i heading=%s", &step, nullptr, texts);
        return Document(step, heading);
    }

    std::string Document(int step, std::string heading) {
        char* texts[] = {heading.data()};
        return std::string(encoder.Encode("Progress", "step=%i heading=%s", &step, nullptr, texts, false).view());
    }

    // Stops the task, ends the job and returns its log.
    std::string FinishJob(TaskThread& task) {
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().RequestStop();
        EXPECT_TRUE(task.EndsWithin());
        return dir.Read("front.ipm");
    }

    TempDir dir;
    loopback::Listener listener;
    ipm_DirectMechanism encoder;
    int modules = 0;
};

// Far more than the kernel's buffers hold, so the task's write waits for
// the listener while the job goes on sending.
TEST_F(JobFaults, AListenerThatStopsReadingHoldsOnlyTheTask) {
    const std::string heading(512 * 1024, 'h');
    constexpr int messages = 24;
    // Two-digit steps, so that every document has the first one's size.
    std::string all = Send(10, heading);
    std::string log;
    {
        TaskThread task;
        loopback::Peer peer(listener.Accept());
        auto sending = std::async(std::launch::async, [&] {
            std::string sent;
            for (int step = 11; step < 10 + messages; ++step) sent += Send(step, heading);
            return sent;
        });
        const bool sendersFree = sending.wait_for(20s) == std::future_status::ready;
        std::this_thread::sleep_for(2s);
        const std::string received = peer.Read(static_cast<size_t>(5 + messages * all.size()));
        all += sending.get();
        EXPECT_TRUE(sendersFree) << "a buffered send waited for the listener";
        EXPECT_TRUE(received == "front" + all) << "received " << received.size() << " of " << 5 + all.size();
        log = FinishJob(task);
    }
    EXPECT_TRUE(log == all) << "logged " << log.size() << " of " << all.size();
    EXPECT_FALSE(eli_killsigRaised());
}

// The listener writes without pause and never "Kill"; it stops once the
// job's end closes the connection.
TEST_F(JobFaults, AListenerSendingEndlessBytesNeitherKillsNorStallsTheJob) {
    std::string all;
    std::string log;
    {
        TaskThread task;
        all += Send(0, "first");
        const int descriptor = listener.Accept();
        loopback::Peer peer(descriptor);
        std::atomic<bool> writing{true};
        std::thread flood([&] {
            const std::string noise(64 * 1024, 'K');
            while (writing) {
                pollfd watched{descriptor, POLLOUT, 0};
                if (::poll(&watched, 1, 100) > 0 &&
                    ::send(descriptor, noise.data(), noise.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                    errno != EAGAIN)
                    return;
            }
        });
        for (int step = 1; step <= 30; ++step) all += Send(step, "Step " + std::to_string(step));
        const std::string received = peer.Read(5 + all.size());
        log = FinishJob(task);
        writing = false;
        flood.join();
        EXPECT_EQ(received, "front" + all);
    }
    EXPECT_EQ(log, all);
    EXPECT_FALSE(eli_killsigRaised());
}

// Job threads send buffered and direct messages on one real connection while
// the task polls it and the listener keeps sending requests, the last a
// kill: every document arrives whole, the kill is seen, and the
// stop and shut-down that follow are clean (the threaded run checks races).
TEST_F(JobFaults, JobThreadsShareTheConnectionWithTheTaskWhileTheListenerSendsRequests) {
    constexpr int senders = 4;
    constexpr int perSender = 12;
    std::string log;
    {
        TaskThread task;
        const std::string first = Send(0, "first");
        loopback::Peer peer(listener.Accept());
        std::vector<std::thread> threads;
        for (int t = 1; t <= senders; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < perSender; ++i) {
                    int values[] = {t, i};
                    const auto send = i % 2 == 0 ? ipm_sendMessage : ipm_sendMessageDirect;
                    send("Progress", "thread=%i index=%i", values, nullptr, nullptr);
                }
            });
        for (int request = 0; request < 20; ++request) {
            peer.Write("status?");
            std::this_thread::sleep_for(5ms);
        }
        for (std::thread& thread : threads) thread.join();
        peer.Write("Kill");
        EXPECT_TRUE(WaitUntil([] { return eli_killsigRaised(); }));
        log = FinishJob(task);

        std::vector<std::string> documents;
        size_t total = 5 + first.size();
        for (int t = 1; t <= senders; ++t)
            for (int i = 0; i < perSender; ++i) {
                int values[] = {t, i};
                documents.emplace_back(
                    encoder.Encode("Progress", "thread=%i index=%i", values, nullptr, nullptr, false).view());
                total += documents.back().size();
            }
        const std::string received = peer.Read(total);
        EXPECT_EQ(received.size(), total);
        for (const std::string& document : documents) EXPECT_NE(received.find(document), std::string::npos);
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + senders * perSender / 2);
}

// Without the message task and without shutting the library down, the log
// still holds every message once the process has exited.
TEST_F(JobFaults, AJobThatExitsWithoutShuttingDownKeepsItsLog) {
    EXPECT_EXIT(
        {
            for (int step = 1; step <= 3; ++step) Send(step, "Step " + std::to_string(step));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    // The child connected a socket it shares with this process: ending the
    // conversation spares this process's shut-down the wait for the listener.
    loopback::Peer(listener.Accept()).Close();
    std::string all;
    for (int step = 1; step <= 3; ++step) all += Document(step, "Step " + std::to_string(step));
    EXPECT_EQ(dir.Read("front.ipm"), all);
}

}  // namespace
