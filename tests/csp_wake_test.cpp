#include <gtest/gtest.h>

#include <thread>

#include "csp/impl/csp_WakeSignal.h"
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
