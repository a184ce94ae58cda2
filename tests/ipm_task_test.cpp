#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/eli_killsig.h"
#include "ipm/ipm.h"
#include "ipm/ipm_MessageTransmit.h"
#include "support/RecordingMechanism.h"
#include "support/TaskThread.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"
#include "support/Waiting.h"

namespace {
std::string document(int n) {
    return "<Progress><n type=\"integer\">" + std::to_string(n) +
           "</n><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></Progress>\n";
}

// Sizes from 0 to 1 KB, so that documents straddle every boundary of the
// log's buffer.
std::string filler(int n) { return std::string(static_cast<size_t>(n * 37 % 1024), static_cast<char>('a' + n % 26)); }

std::string loggedDocument(const std::string& type, int n) {
    return "<" + type + "><n type=\"integer\">" + std::to_string(n) + "</n><text type=\"string\">" + filler(n) +
           "</text><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></" + type + ">\n";
}

// Errors and warnings, which the caps soon drop, with a progress message
// every `progressEvery`; returns what the log must hold for them.
std::string sendMixed(int first, int count, int progressEvery) {
    std::string logged;
    for (int n = first; n < first + count; ++n) {
        const char* type = n % progressEvery == 0 ? "Progress" : n % 7 == 0 ? "Warning" : "Error";
        const std::string value = filler(n);
        char* texts[] = {const_cast<char*>(value.c_str())};
        ipm_sendMessage(type, "n=%i text=%s", &n, nullptr, texts);
        logged += loggedDocument(type, n);
    }
    return logged;
}

void send(int n) { ipm_sendMessage("Progress", "n=%i", &n, nullptr, nullptr); }

void reportKilled() { ipm_sendMessageDirect("Killed", "", nullptr, nullptr, nullptr); }

std::vector<std::string> calls(std::initializer_list<std::string> list) { return list; }

class TaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestartTransmitter({"job=beam", "message=on", "indir=" + dir.Path()});
        transmitter().SetMechanism(new RecordingMechanism(record));
    }
    void TearDown() override { ipm_MessageTransmit::DestroyInstance(); }

    ipm_MessageTransmit& transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }

    std::shared_ptr<MechanismRecord> record = std::make_shared<MechanismRecord>();
    TempDir dir;
};

TEST_F(TaskTest, SendsTheBufferInOrderThenEndsOnAStopRequest) {
    send(1);
    send(2);
    send(3);
    transmitter().RequestStop();
    TaskThread task;
    ASSERT_TRUE(task.EndsWithin());
    EXPECT_EQ(record->Calls(), calls({"Initialize", "Poll", "Transmit " + document(1), "Transmit " + document(2),
                                      "Transmit " + document(3), "Poll"}));
    EXPECT_FALSE(transmitter().Pending());
    EXPECT_FALSE(transmitter().Failed());
}

TEST_F(TaskTest, MessagesBufferedWhileRunningAreSentBeforeTheTaskEnds) {
    TaskThread task;
    ASSERT_TRUE(WaitUntil([&] { return record->Count("Poll") >= 2; }));
    send(1);
    send(2);
    transmitter().RequestStop();
    ASSERT_TRUE(task.EndsWithin());
    EXPECT_EQ(record->Transmitted(), (std::vector<std::string>{document(1), document(2)}));
    EXPECT_EQ(record->Calls().back(), "Poll");
}

TEST_F(TaskTest, AFailedTransmissionDropsTheBatchStopsBufferingAndKeepsPolling) {
    record->failingTransmit = 2;
    for (int n = 1; n <= 4; ++n) send(n);
    TaskThread task;
    ASSERT_TRUE(WaitUntil([&] { return transmitter().Failed(); }));
    send(5);
    EXPECT_FALSE(transmitter().Pending());
    EXPECT_TRUE(BufferedDocuments().empty());

    const int polls = record->Count("Poll");
    ASSERT_TRUE(WaitUntil([&] { return record->Count("Poll") >= polls + 2; }));
    EXPECT_FALSE(task.EndsWithin(std::chrono::milliseconds(0)));
    transmitter().RequestStop();
    ASSERT_TRUE(task.EndsWithin());

    EXPECT_EQ(record->Transmitted(), std::vector<std::string>{document(1)});
    const std::vector<std::string> seen = record->Calls();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Transmit " + document(3)), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Transmit " + document(4)), 0);
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_EQ(dir.Read("beam.ipm"), document(1) + document(2) + document(3) + document(4) + document(5));
}

TEST_F(TaskTest, AFailedPollEndsTheTaskAtOnceLeavingTheBuffer) {
    send(1);
    send(2);
    record->failingPoll = true;
    TaskThread task;
    ASSERT_TRUE(task.EndsWithin());
    EXPECT_TRUE(transmitter().Failed());
    EXPECT_TRUE(transmitter().Pending());
    EXPECT_EQ(BufferedDocuments(), (std::vector<std::string>{document(1), document(2)}));
    EXPECT_EQ(record->Calls(), calls({"Initialize", "Poll"}));
}

TEST_F(TaskTest, AKillHandlerMaySendDirectlyFromInsidePoll) {
    eli_clearkillsig();
    eli_setKillHandler(reportKilled);
    record->killOnNextPoll = true;
    transmitter().RequestStop();
    {
        TaskThread task;
        EXPECT_TRUE(task.EndsWithin());
    }
    eli_setKillHandler(nullptr);
    EXPECT_TRUE(eli_killsigRaised());
    eli_clearkillsig();
    EXPECT_EQ(record->Calls(),
              calls({"Poll", "Transmit <Killed><phase type=\"symconst\"></phase><jobName type=\"string\">beam"
                             "</jobName></Killed>\n"}));
}

TEST_F(TaskTest, AStopRequestWithNothingBufferedEndsAfterOnePollAndNoMechanismIsNeeded) {
    transmitter().RequestStop();
    {
        TaskThread task;
        ASSERT_TRUE(task.EndsWithin());
    }
    EXPECT_EQ(record->Calls(), calls({"Poll"}));

    ipm_TransmissionMechanism* installed = transmitter().Mechanism();
    transmitter().SetMechanism(nullptr);
    {
        TaskThread task;
        transmitter().RequestStop();
        EXPECT_TRUE(task.EndsWithin());
    }
    EXPECT_EQ(record->Calls(), calls({"Poll"}));
    transmitter().SetMechanism(installed);
}

// Job threads send buffered and direct messages, and set phases, while the
// task polls and transmits: every message arrives exactly once, the transport
// is never entered by two threads at a time, and the run is free of data races.
TEST_F(TaskTest, ConcurrentSendersAndTheTaskShareTheTransport) {
    record->pollWait = std::chrono::milliseconds(3);
    constexpr int senders = 4;
    constexpr int buffered = 5;
    constexpr int direct = 5;
    TaskThread task;
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t) {
        threads.emplace_back([t] {
            const std::string phase = "Phase" + std::to_string(t);
            for (int i = 0; i < buffered + direct; ++i) {
                int values[] = {t, i};
                char* texts[] = {const_cast<char*>(phase.c_str())};
                if (i % 2 == 0)
                    ipm_sendMessage("Progress", "thread=%i index=%i phase=%e", values, nullptr, texts);
                else
                    ipm_sendMessageDirect("Progress", "thread=%i index=%i", values, nullptr, nullptr);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    transmitter().RequestStop();
    ASSERT_TRUE(task.EndsWithin());

    std::vector<std::string> arrived = record->Transmitted();
    ASSERT_EQ(arrived.size(), static_cast<size_t>(senders * (buffered + direct)));
    std::vector<std::string> keys;
    for (const std::string& document : arrived) {
        const size_t thread = document.find("<thread type=\"integer\">");
        const size_t end = document.find("</index>");
        ASSERT_NE(thread, std::string::npos);
        ASSERT_NE(end, std::string::npos);
        keys.push_back(document.substr(thread, end - thread));
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
    EXPECT_FALSE(record->Overlapped());
    EXPECT_FALSE(transmitter().Failed());
    EXPECT_EQ(record->Count("Initialize"), 1);
}

// Caps that drop most errors and warnings from the buffer, never from the log.
class LogTest : public TaskTest {
protected:
    void SetUp() override {
        RestartTransmitter({"job=beam", "message=on", "indir=" + dir.Path()}, "3", "5");
        transmitter().SetMechanism(new RecordingMechanism(record));
    }
    std::string OnDisk() const { return dir.Read("beam.ipm"); }
};

// Megabytes of messages and no task: the senders write the log whenever its
// buffer fills, destruction writes the rest, and the file holds every
// document in order, those the caps dropped and those after a failure too.
TEST_F(LogTest, WithoutTheTaskTheLogIsWrittenByTheSendersAndIsComplete) {
    std::string expected = sendMixed(0, 6000, 2);
    const std::string written = OnDisk();
    EXPECT_FALSE(written.empty());
    EXPECT_LT(written.size(), expected.size());
    EXPECT_EQ(expected.compare(0, written.size(), written), 0);

    transmitter().SetFailed();
    expected += sendMixed(6000, 3000, 2);
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_EQ(OnDisk(), expected);
}

// The task hands the log to the kernel in its pauses, between transmissions
// as well as between turns, so the file is complete while the job runs.
// Mostly capped messages keep the task's batches short.
TEST_F(LogTest, TheTaskWritesTheLogWhileTheJobRuns) {
    TaskThread task;
    std::string expected = sendMixed(0, 4000, 1000);
    EXPECT_TRUE(WaitUntil([&] { return OnDisk().size() == expected.size(); }));
    EXPECT_EQ(OnDisk(), expected);

    transmitter().SetFailed();
    expected += sendMixed(4000, 500, 2);
    EXPECT_TRUE(WaitUntil([&] { return OnDisk().size() == expected.size(); }));
    EXPECT_EQ(OnDisk(), expected);

    transmitter().RequestStop();
    ASSERT_TRUE(task.EndsWithin());
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_EQ(OnDisk(), expected);
}
}  // namespace
