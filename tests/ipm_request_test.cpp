// Requests beside Kill, on the job's side: the wire form and its checks,
// lines split across reads, and a job that offers, takes and answers them
// over a real loopback connection.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "ipm/impl/ipm_RequestDesk.h"
#include "ipm/impl/ipm_RequestLines.h"
#include "ipm/ipm_Request.h"
#include "ipm/ipm_c.h"
#include "support/LoopbackPeer.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

namespace {

std::string parsed(std::string_view line) {
    const auto request = ipm_Request::Parse(line);
    return request ? std::to_string(request->id) + " " + request->name + " [" + request->value + "]" : "none";
}

struct Taken {
    int id = 0;
    std::string name, value;
};

Taken take() {
    Taken taken;
    char name[IPM_REQUEST_NAME_SIZE], value[IPM_REQUEST_VALUE_SIZE];
    EXPECT_EQ(ipm_takeRequest(&taken.id, name, sizeof name, value, sizeof value), IPM_OK);
    taken.name = name;
    taken.value = value;
    return taken;
}

Taken awaitRequest() {
    Taken taken;
    WaitUntil([&] { return (taken = take()).id != 0; });
    return taken;
}

class DirectJob {
public:
    DirectJob() {
        const std::vector<std::string> options = {"job=beam", "message=ALL", "indir=" + dir.Path(),
                                                  "listener_name=127.0.0.1",
                                                  "direct_port=" + std::to_string(listener.Port())};
        std::vector<const char*> pointers;
        for (const std::string& option : options) pointers.push_back(option.c_str());
        EXPECT_EQ(ipm_start("direct", static_cast<int>(pointers.size()), pointers.data()), IPM_OK);
        EXPECT_EQ(ipm_send("Progress", "", nullptr, nullptr, nullptr), IPM_OK);
        peer = std::make_unique<loopback::Peer>(listener.Accept());
    }
    // Everything the job wrote after what was read so far, once it stopped.
    std::string Stop() {
        auto rest = std::async(std::launch::async, [this] {
            std::string stream = peer->ReadToEnd();
            peer->Close();
            return stream;
        });
        EXPECT_EQ(ipm_stop(), IPM_OK);
        return rest.get();
    }

    TempDir dir;
    loopback::Listener listener;
    std::unique_ptr<loopback::Peer> peer;
};

}  // namespace

TEST(Requests, TheWireFormIsCheckedAndCannotCarryKill) {
    const ipm_Request request{7, "checkpoint", "to \"a\" & <b>"};
    EXPECT_EQ(request.Element(), "<request id=\"7\" name=\"checkpoint\" value=\"to &quot;a&quot; &amp; &lt;b&gt;\"/>\n");
    EXPECT_EQ(parsed(request.Element()), "7 checkpoint [to \"a\" & <b>]");
    EXPECT_EQ(parsed("noise<request id=\"2147483647\" name=\"a-b_9\"/>"), "2147483647 a-b_9 []");

    for (const char* name : {"", "Stop", "9lives", "a b", "kill!", "abcdefghijklmnopqrstuvwxyz0123456"})
        EXPECT_FALSE(ipm_Request::ValidName(name)) << name;
    EXPECT_TRUE(ipm_Request::ValidName("abcdefghijklmnopqrstuvwxyz012345"));
    for (const std::string& value : {std::string("Kill"), std::string(257, 'v'), std::string("tab\there"),
                                    std::string("\xc3("), std::string("\x7f")})
        EXPECT_FALSE(ipm_Request::ValidValue(value)) << value;
    EXPECT_TRUE(ipm_Request::ValidValue(std::string(254, 'v') + "\xc3\xa9"));

    for (const char* line : {R"(<request id="0" name="a"/>)", R"(<request id="2147483648" name="a"/>)",
                             R"(<request id="-1" name="a"/>)", R"(<request id="1x" name="a"/>)",
                             R"(<request id="1" name="a" value="please Kill"/>)", R"(<request id="1"/>)",
                             R"(<request id="1" name="a")", R"(<other id="1" name="a"/>)", "Kill"})
        EXPECT_EQ(parsed(line), "none") << line;
}

TEST(Requests, LinesSplitAcrossReadsAreJoinedAndOverlongOnesSkipped) {
    ipm_RequestDesk& desk = ipm_RequestDesk::Instance();
    desk.Reset();
    ipm_RequestLines lines;
    lines.Feed("<request id=\"1\" name=\"a\"/>\n");
    bool offered = true;
    EXPECT_FALSE(desk.Take(offered)) << "nothing is taken in while nothing is offered";

    desk.Offer({"a"});
    lines.Feed("<request id=\"2\" na");
    EXPECT_FALSE(desk.Take(offered));
    lines.Feed("me=\"a\" value=\"x\"/>\n<request id=\"2\" name=\"a\"/>\n<request id=\"3\" name=\"b\"/>\n");
    const auto first = desk.Take(offered);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, 2);
    EXPECT_EQ(first->value, "x");
    EXPECT_TRUE(offered);
    const auto second = desk.Take(offered);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->id, 3) << "the repeated id 2 is turned away";
    EXPECT_FALSE(offered);
    EXPECT_FALSE(desk.Take(offered));

    lines.Feed(std::string(ipm_RequestLines::lineBound, ' ') + R"(<request id="4" name="a"/>)");
    lines.Feed("\n<request id=\"5\" name=\"a\"/>\n");
    const auto afterLong = desk.Take(offered);
    ASSERT_TRUE(afterLong);
    EXPECT_EQ(afterLong->id, 5);

    for (int id = 10; id < 10 + static_cast<int>(ipm_RequestDesk::pendingBound) + 5; ++id)
        lines.Feed("<request id=\"" + std::to_string(id) + "\" name=\"a\"/>\n");
    size_t pending = 0;
    while (desk.Take(offered)) ++pending;
    EXPECT_EQ(pending, ipm_RequestDesk::pendingBound);
    EXPECT_TRUE(desk.Answer(10));
    EXPECT_FALSE(desk.Answer(10));
}

TEST(Requests, ADirectJobTakesEachOfferedRequestOnceAndAnswersIt) {
    DirectJob job;
    const char* const names[] = {"checkpoint", "stop"};
    const char* const labels[] = {"Write a restart file now", "Stop & save"};
    const char* const badNames[] = {"checkpoint", "checkpoint"};
    EXPECT_EQ(ipm_offerRequests(2, badNames, labels), IPM_BAD_ARGUMENT);
    const char* const upper[] = {"Stop"};
    EXPECT_EQ(ipm_offerRequests(1, upper, labels), IPM_BAD_ARGUMENT);
    const char* const emptyLabel[] = {""};
    EXPECT_EQ(ipm_offerRequests(1, names, emptyLabel), IPM_BAD_ARGUMENT);
    ASSERT_EQ(ipm_offerRequests(2, names, labels), IPM_OK);
    EXPECT_NE(job.peer->ReadThrough("</RequestsOffered>").find("<checkpoint type=\"string\">Write a restart file now</checkpoint>"), std::string::npos);
    EXPECT_EQ(take().id, 0);

    job.peer->Write("<request id=\"1\" name=\"checkpoint\" value=\"a&amp;b\"/>\n<request id=\"1\" name=\"checkpoint\"/>\n"
                    "<request id=\"2\" name=\"resize\"/>\n<request id=\"3\" name=\"stop\"/>\n");
    const Taken checkpoint = awaitRequest();
    EXPECT_EQ(checkpoint.id, 1);
    EXPECT_EQ(checkpoint.name, "checkpoint");
    EXPECT_EQ(checkpoint.value, "a&b");
    // The task hands the lines of one read over one by one, so the last may
    // come a moment after the first.
    EXPECT_EQ(awaitRequest().id, 3) << "once each; one not offered is refused unseen";
    EXPECT_EQ(take().id, 0);
    EXPECT_EQ(ipm_answerRequest(1, IPM_REQUEST_DONE, "written to /tmp/r<1>"), IPM_OK);
    EXPECT_EQ(ipm_answerRequest(1, IPM_REQUEST_DONE, nullptr), IPM_BAD_ARGUMENT) << "answered once";
    EXPECT_EQ(ipm_answerRequest(99, IPM_REQUEST_DONE, nullptr), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_answerRequest(3, 7, nullptr), IPM_BAD_ARGUMENT);
    EXPECT_EQ(ipm_answerRequest(3, IPM_REQUEST_FAILED, "disk full"), IPM_OK);

    job.peer->Write("Kill");
    EXPECT_TRUE(WaitUntil([] { return ipm_killRequested() == 1; })) << "Kill still kills";
    const std::string rest = job.Stop();
    EXPECT_NE(rest.find("<id type=\"integer\">2</id><name type=\"string\">resize</name><outcome type=\"string\">refused</outcome>"),
              std::string::npos) << rest;
    EXPECT_NE(rest.find("<outcome type=\"string\">done</outcome><text type=\"string\">written to /tmp/r&lt;1&gt;</text>"),
              std::string::npos) << rest;
    EXPECT_NE(rest.find("<name type=\"string\">stop</name><outcome type=\"string\">failed</outcome>"), std::string::npos);
}

TEST(Requests, AJobThatOffersNothingTakesNoneAndSendsNothingNew) {
    DirectJob job;
    job.peer->ReadThrough("</Progress>");
    job.peer->Write("<request id=\"1\" name=\"stop\"/>\n");
    job.peer->Write("Kill");
    ASSERT_TRUE(WaitUntil([] { return ipm_killRequested() == 1; }));
    EXPECT_EQ(take().id, 0);
    EXPECT_EQ(job.Stop().find("Request"), std::string::npos);
}
