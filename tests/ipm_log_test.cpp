#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ipm/ipm.h"
#include "ipm/ipm_MessageTransmit.h"
#include "support/RecordingMechanism.h"
#include "support/TaskThread.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"
#include "support/Waiting.h"

namespace {
// Sizes from 0 to 1 KB, so that documents straddle every boundary of the
// log's buffer.
std::string text(int n) { return std::string(static_cast<size_t>(n * 37 % 1024), static_cast<char>('a' + n % 26)); }

std::string document(const std::string& type, int n) {
    return "<" + type + "><n type=\"integer\">" + std::to_string(n) + "</n><text type=\"string\">" + text(n) +
           "</text><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></" + type + ">\n";
}

// Errors and warnings, which the caps soon drop, with a progress message
// every `progressEvery`; returns what the log must hold for them.
std::string sendMixed(int first, int count, int progressEvery) {
    std::string logged;
    for (int n = first; n < first + count; ++n) {
        const char* type = n % progressEvery == 0 ? "Progress" : n % 7 == 0 ? "Warning" : "Error";
        const std::string value = text(n);
        char* texts[] = {const_cast<char*>(value.c_str())};
        ipm_sendMessage(type, "n=%i text=%s", &n, nullptr, texts);
        logged += document(type, n);
    }
    return logged;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestartTransmitter({"job=beam", "message=on", "indir=" + dir.Path()}, "3", "5");
        transmitter().SetMechanism(new RecordingMechanism(record));
    }
    void TearDown() override { ipm_MessageTransmit::DestroyInstance(); }

    ipm_MessageTransmit& transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }
    std::string OnDisk() const { return dir.Read("beam.ipm"); }

    std::shared_ptr<MechanismRecord> record = std::make_shared<MechanismRecord>();
    TempDir dir;
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
