#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "csp/csp_WaitSet.h"
#include "csp/csp_WakeSignal.h"
#include "support/SocketConversation.h"

namespace {
using Outcome = csp_WakeSignal::Outcome;
constexpr int brief = 30;
// Long enough that only a raise or data ends it; a hang fails the test run.
constexpr int endless = 60000;
}  // namespace

TEST(CspWakeSignal, EndsASocketWaitOnlyWhileRaisedAndNeverHidesData) {
    Conversation talk;
    csp_WakeSignal wake;
    const int quiet = talk.server.getDescriptor();
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, brief, &wake), Outcome::TimedOut);
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, brief, nullptr), Outcome::TimedOut);

    std::thread raiser([&] { wake.raise(); });
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, endless, &wake), Outcome::Woken);
    raiser.join();
    // Raised until lowered, however often it was raised.
    wake.raise();
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, endless, &wake), Outcome::Woken);
    wake.lower();
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, brief, &wake), Outcome::TimedOut);

    // Data, and then the stream's end, win over a raised wake.
    wake.raise();
    ASSERT_EQ(talk.client.write("x", 1), 1);
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, endless, &wake), Outcome::Readable);
    char byte;
    ASSERT_EQ(talk.server.read(&byte, 1), 1);
    talk.client.close();
    EXPECT_EQ(csp_WakeSignal::waitReadable(quiet, endless, &wake), Outcome::Readable);

    // No socket to watch: only the wake or the bound ends the wait.
    EXPECT_EQ(csp_WakeSignal::waitReadable(-1, endless, &wake), Outcome::Woken);
    wake.lower();
    EXPECT_EQ(csp_WakeSignal::waitReadable(-1, brief, &wake), Outcome::TimedOut);
}

// What one wait over several sockets and a wake finds: each place only what
// it is ready for and was asked about, unwatched places never.
TEST(CspWaitSet, FindsWhatEachPlaceIsReadyForAndNothingElse) {
    using Found = std::vector<unsigned>;
    constexpr unsigned both = csp_WaitSet::readable | csp_WaitSet::writable;
    Conversation talk;
    csp_WakeSignal wake;
    csp_WaitSet waits;
    const auto fill = [&](unsigned clientInterest) {
        waits.clear();
        waits.add(talk.server.getDescriptor());
        waits.add(talk.client.getDescriptor(), clientInterest);
        waits.add(-1, both);
        waits.add(wake);
    };
    const auto found = [&] { return Found(waits.found().begin(), waits.found().end()); };

    fill(csp_WaitSet::readable);
    EXPECT_EQ(waits.wait(brief), 0);
    EXPECT_EQ(found(), Found(4, 0));
    fill(both);
    EXPECT_EQ(waits.wait(endless), 1);
    EXPECT_EQ(found(), (Found{0, csp_WaitSet::writable, 0, 0}));

    std::thread raiser([&] { wake.raise(); });
    fill(csp_WaitSet::readable);
    EXPECT_EQ(waits.wait(endless), 1);
    raiser.join();
    EXPECT_EQ(found(), (Found{0, 0, 0, csp_WaitSet::readable}));
    wake.lower();

    ASSERT_EQ(talk.client.write("x", 1), 1);
    EXPECT_EQ(waits.wait(endless), 1);
    EXPECT_EQ(found(), (Found{csp_WaitSet::readable, 0, 0, 0}));
    char byte;
    ASSERT_EQ(talk.server.read(&byte, 1), 1);
    // The peer's end is found as readable too: the read tells it.
    talk.client.close();
    waits.clear();
    EXPECT_EQ(waits.add(-1), 0u);
    EXPECT_EQ(waits.add(talk.server.getDescriptor(), both), 1u);
    EXPECT_EQ(waits.wait(endless), 1);
    EXPECT_EQ(found()[0], 0u);
    EXPECT_TRUE(found()[1] & csp_WaitSet::readable);

    // Nothing watched: only the bound ends the wait.
    waits.clear();
    waits.add(-1);
    EXPECT_EQ(waits.wait(brief), 0);
    EXPECT_EQ(found(), Found(1, 0));
}
