// The C wiring interface: result codes, delivery through a real loopback
// listener, kill requests, and the format counts the bindings rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "foundation/cow_String.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/ipm.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_c.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"
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
    EXPECT_EQ(ipm_start("Direct", 0, nullptr), IPM_UNKNOWN_TRANSPORT);
    EXPECT_EQ(ipm_start(nullptr, 0, nullptr), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_start("direct", -1, options.Values()), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_start("direct", 2, nullptr), IPM_BAD_ARGUMENT);
    const char* const withHole[] = {"job=beam", nullptr};
    EXPECT_EQ(ipm_start("direct", 2, withHole), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_stop(), IPM_NOT_STARTED) << "a refused start leaves nothing running";

    ASSERT_EQ(startDirect(options), IPM_OK);
    EXPECT_EQ(startDirect(options), IPM_ALREADY_STARTED);
    EXPECT_EQ(ipm_start("jabber", 0, nullptr), IPM_ALREADY_STARTED);
    EXPECT_EQ(ipm_stop(), IPM_OK);
    EXPECT_EQ(ipm_stop(), IPM_NOT_STARTED);
    EXPECT_FALSE(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance()) << "stop destroys the transmitter";

    ASSERT_EQ(ipm_start("jabber", options.Count(), options.Values()), IPM_OK) << "starts again";
    EXPECT_EQ(ipm_stop(), IPM_OK);

    for (int result = IPM_OK; result <= IPM_FAILED + 1; ++result) EXPECT_STRNE(ipm_resultText(result), "");
}

TEST(CInterface, HandedOptionsLastOneRunAndOtherSetUpsAreNotStartedOver) {
    TempDir dir;
    ASSERT_EQ(startDirect(jobOptions(dir, "127.0.0.1", 1)), IPM_OK);
    EXPECT_EQ(thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("job"), cow_String("beam"));
    EXPECT_TRUE(thr_GlobalSingleton<ipm_MessageTransmit>::Instance().Enabled());
    ASSERT_EQ(ipm_stop(), IPM_OK);

    // The test program's own command line names no job, so messaging is off.
    ASSERT_EQ(ipm_start("direct", 0, nullptr), IPM_OK);
    EXPECT_FALSE(thr_GlobalSingleton<utl_CommandLine>::Instance().IsMember("job"));
    EXPECT_FALSE(thr_GlobalSingleton<ipm_MessageTransmit>::Instance().Enabled());
    EXPECT_EQ(sendStep(1), IPM_OK);
    EXPECT_EQ(ipm_stop(), IPM_OK);

    thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    EXPECT_EQ(ipm_start("direct", 0, nullptr), IPM_ALREADY_STARTED);
    destroyTransmitter();
}

TEST(CInterface, MessagesBufferedBeforeTheStopAreSentFirst) {
    TempDir dir;
    loopback::Listener listener;
    ASSERT_EQ(startDirect(jobOptions(dir, "127.0.0.1", listener.Port())), IPM_OK);
    for (int step = 1; step <= 3; ++step) ASSERT_EQ(sendStep(step), IPM_OK);
    loopback::Peer peer(listener.Accept());
    std::future<std::string> received = readUntilHangUp(peer);
    ASSERT_EQ(ipm_stop(), IPM_OK);

    const std::string stream = received.get();
    size_t previous = 0;
    for (int step = 1; step <= 3; ++step) {
        const size_t at = stream.find("<step type=\"integer\">" + std::to_string(step) + "</step>");
        ASSERT_NE(at, std::string::npos) << stream;
        EXPECT_GT(at, previous);
        previous = at;
    }
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

TEST(CInterface, LibraryErrorsComeBackAsResults) {
    TempDir dir;
    ASSERT_EQ(startDirect(jobOptions(dir, "300.1.2.3", 7000)), IPM_OK);
    EXPECT_EQ(sendStep(1), IPM_FAILED);
    EXPECT_NE(std::string(ipm_lastFailure()).find("300.1.2.3"), std::string::npos) << ipm_lastFailure();
    EXPECT_EQ(ipm_stop(), IPM_OK);
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

// Arrays of exactly the counted size, each value distinct, so that a count
// too low shows as an overread under the address sanitizer and one too high
// as a value missing from the document.
void expectCountMatchesTheDocument(const char* format) {
    const Counts counts = countsOf(format);
    std::vector<int> ints;
    std::vector<double> doubles;
    std::vector<std::string> texts;
    std::vector<char*> textPointers;
    for (int i = 0; i < counts.ints; ++i) ints.push_back(7000 + i);
    for (int i = 0; i < counts.doubles; ++i) doubles.push_back(8000.5 + i);
    for (int i = 0; i < counts.texts; ++i) texts.push_back("text" + std::to_string(i));
    for (std::string& text : texts) textPointers.push_back(text.data());
    const cow_String document = ipm_MessageDocument::direct.Build(
        "T", format, ints.empty() ? nullptr : ints.data(), doubles.empty() ? nullptr : doubles.data(),
        textPointers.empty() ? nullptr : textPointers.data(), false, cow_String("beam"));
    const std::string text(document.view());
    std::vector<std::string> values = texts;
    for (int value : ints) values.push_back(std::to_string(value));
    for (int i = 0; i < counts.doubles; ++i) values.push_back(std::to_string(8000 + i) + ".5");
    for (const std::string& value : values) EXPECT_NE(text.find(value), std::string::npos) << format << text;
}

TEST(CInterface, FormatCountsFollowTheDocumentsOwnReading) {
    EXPECT_EQ(countsOf("a=%i b=%I c=%r d=%R e=%s f=%S g=%b h=%B k=%e l=%E"), (Counts{2, 2, 6}));
    EXPECT_EQ(countsOf("  a=%i   b=%r "), (Counts{1, 1, 0}));
    EXPECT_EQ(countsOf("a=%ii b=% c=%q d e=i f%i=%r"), (Counts{0, 0, 0}));
    EXPECT_EQ(countsOf("=%s %i phase=%e"), (Counts{1, 0, 2}));
    EXPECT_EQ(countsOf(""), (Counts{0, 0, 0}));
    EXPECT_EQ(countsOf(nullptr), (Counts{0, 0, 0}));
    int ints = 0;
    EXPECT_EQ(ipm_countFormatValues("a=%i", &ints, nullptr, &ints), IPM_BAD_ARGUMENT);

    for (const char* format : {"a=%i b=%I c=%r d=%R e=%s f=%S g=%b h=%B k=%e l=%E", "  a=%i   b=%r ",
                               "a=%ii b=% c=%q d e=i f%i=%r x=%i", "=%s %i phase=%e", "s=%s%s t=%s"})
        expectCountMatchesTheDocument(format);
    destroyTransmitter();
}

}  // namespace
