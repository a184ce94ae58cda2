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
}  // namespace
