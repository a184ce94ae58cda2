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

// What one wait over several sockets and a wake finds: each registration
// only what it is ready for and was asked about, under its own key; a
// removed one never, even when its descriptor number comes back.
TEST(CspWaitSet, FindsWhatEachRegistrationIsReadyForAndNothingElse) {
    using Found = std::vector<std::pair<void*, unsigned>>;
    constexpr unsigned both = csp_WaitSet::readable | csp_WaitSet::writable;
    Conversation talk;
    csp_WakeSignal wake;
    csp_WaitSet waits;
    int serverKey, clientKey, wakeKey;
    const auto wait = [&](int timeout) {
        Found found;
        for (const csp_WaitSet::Ready& ready : waits.wait(timeout)) found.emplace_back(ready.key, ready.events);
        return found;
    };
    waits.add(talk.server.getDescriptor(), csp_WaitSet::readable, &serverKey);
    const auto client = waits.add(talk.client.getDescriptor(), csp_WaitSet::readable, &clientKey);
    waits.add(wake, &wakeKey);
    EXPECT_EQ(wait(brief), Found{});

    waits.change(client, both);
    EXPECT_EQ(wait(endless), (Found{{&clientKey, csp_WaitSet::writable}}));
    waits.change(client, csp_WaitSet::readable);
    EXPECT_EQ(wait(brief), Found{});

    std::thread raiser([&] { wake.raise(); });
    EXPECT_EQ(wait(endless), (Found{{&wakeKey, csp_WaitSet::readable}}));
    raiser.join();
    wake.lower();

    ASSERT_EQ(talk.client.write("x", 1), 1);
    EXPECT_EQ(wait(endless), (Found{{&serverKey, csp_WaitSet::readable}}));
    char byte;
    ASSERT_EQ(talk.server.read(&byte, 1), 1);

    // Removed while ready, within the wait that found it: that entry is
    // voided; later waits never report it.
    ASSERT_EQ(talk.server.write("y", 1), 1);
    waits.change(client, both);
    const std::span<csp_WaitSet::Ready> found = waits.wait(endless);
    ASSERT_EQ(found.size(), 1u);
    waits.remove(client);
    EXPECT_EQ(found[0].events, 0u);
    EXPECT_EQ(wait(brief), Found{});

    // A new socket may take the removed one's descriptor number: only its
    // own registration reports it.
    talk.client.close();
    Conversation again;
    waits.add(again.client.getDescriptor(), csp_WaitSet::writable, &clientKey);
    const Found peerGone = wait(endless);
    ASSERT_EQ(peerGone.size(), 2u);
    for (const auto& [key, events] : peerGone) {
        EXPECT_TRUE(key == &serverKey ? events == csp_WaitSet::readable : key == &clientKey &&
                                                                              events == csp_WaitSet::writable);
    }
}
