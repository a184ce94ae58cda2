// Alerts: the rules, when they fire and re-arm, delivery to a webhook with
// retries, and the metrics text.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Waiting.h"
#include "tools/listen/alert/ipm_AlertBook.h"
#include "tools/listen/alert/ipm_AlertOutlet.h"
#include "tools/listen/alert/ipm_Webhook.h"
#include "tools/listen/web/ipm_Metrics.h"

namespace {

using Message = ipm_DocumentReader::Message;

Message message(const std::string& type, std::vector<ipm_DocumentReader::Field> fields = {}) {
    return Message{type, std::move(fields)};
}

ipm_DocumentReader::Field real(const std::string& name, const std::string& value) { return {name, "float", value}; }

TEST(AlertRules, OptionsAndFilesAreCheckedWhenTheListenerStarts) {
    EXPECT_EQ(ipm_AlertRule::FromOption("grows:residual:1000:10").within, 10u);
    EXPECT_EQ(ipm_AlertRule::FromOption("error").type, "Error");
    EXPECT_EQ(ipm_AlertRule::FromOption("crashed").states, std::vector<std::string>{"crashed"});
    for (const char* bad : {"grows:residual:1:10", "grows:residual:10", "above::5", "above:x:1e999", "below:x:1a",
                            "exploded", "grows:r:10:0"})
        EXPECT_THROW(ipm_AlertRule::FromOption(bad), std::invalid_argument) << bad;

    const auto rule = ipm_AlertRule::FromJson(
        nlohmann::json::parse(R"({"name":"hot","when":"above","field":"temperature","limit":500})"));
    EXPECT_EQ(rule.limit, 500);
    for (const char* bad : {R"({"when":"above","field":"t","limit":5})", R"({"name":"n","when":"soon"})",
                            R"({"name":"n","when":"above","limit":5})", R"({"name":"n","when":"type"})",
                            R"({"name":"n","when":"state","states":["running"]})", R"({"name":"n"})", "[1]",
                            R"({"name":"n","when":"above","field":"t","limit":"high"})"})
        EXPECT_THROW(ipm_AlertRule::FromJson(nlohmann::json::parse(bad)), std::invalid_argument) << bad;
}

TEST(AlertBook, EachRuleFiresOncePerJobUntilReArmed) {
    ipm_AlertBook book({ipm_AlertRule::FromOption("error"), ipm_AlertRule::FromOption("nonfinite"),
                        ipm_AlertRule::FromOption("grows:residual:100:3"), ipm_AlertRule::FromOption("above:t:5"),
                        ipm_AlertRule::FromOption("crashed"), ipm_AlertRule::FromOption("silent")});
    ipm_JobRecord beam;
    beam.id = 7;
    beam.name = "beam";
    ipm_JobRecord other = beam;
    other.id = 8;
    std::vector<std::string> fired;
    const auto judge = [&](ipm_JobRecord& job, const Message& sent) {
        for (const auto& alert : book.OnMessage(job, sent, 0)) fired.push_back(alert.rule + " " + alert.detail);
    };
    const auto state = [&](ipm_JobRecord& job, const std::string& now) {
        job.state = now;
        for (const auto& alert : book.OnState(job, 0)) fired.push_back(alert.rule + " " + alert.detail);
    };

    judge(beam, message("Error", {{"message", "string", "disk full"}}));
    judge(beam, message("Error"));
    judge(other, message("Error"));
    EXPECT_EQ(fired, (std::vector<std::string>{"error disk full", "error Error"})) << "once per job";

    fired.clear();
    judge(beam, message("Step", {real("residual", "nan")}));
    judge(beam, message("Step", {real("residual", "3.4028234663852886e+38")}));
    judge(beam, message("Step", {{"note", "string", "nan"}}));
    judge(beam, message("Step", {real("residual", "1e-6")}));
    judge(beam, message("Step", {real("residual", "-inf")}));
    EXPECT_EQ(fired, (std::vector<std::string>{"nonfinite residual = nan", "nonfinite residual = -inf"}))
        << "re-armed by a finite value; text fields and the transport's range replacement as it should";

    fired.clear();
    judge(beam, message("Step", {real("residual", "2e-6")}));
    judge(beam, message("Step", {real("residual", "5e-5")}));
    judge(beam, message("Step", {real("residual", "3e-4")}));
    judge(beam, message("Step", {real("residual", "6e-4")}));
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0], "grows:residual:100:3 residual grew from 1e-06 to 3e-4 within 3 messages");

    fired.clear();
    judge(beam, message("Step", {{"t", "integer", "6"}}));
    judge(beam, message("Step", {{"t", "integer", "7"}}));
    judge(beam, message("Step", {{"t", "integer", "4"}}));
    judge(beam, message("Step", {{"t", "integer", "9"}}));
    EXPECT_EQ(fired.size(), 2u) << "above, back below, above again";

    fired.clear();
    state(beam, "silent");
    state(beam, "running");
    state(beam, "silent");
    state(beam, "crashed");
    state(other, "crashed");
    EXPECT_EQ(fired, (std::vector<std::string>{"silent silent", "silent silent", "crashed crashed", "crashed crashed"}));
    EXPECT_EQ(book.CountFor(7), 9);
    EXPECT_EQ(book.Recent(8)["alerts"].size(), 2u);
    EXPECT_EQ(book.Recent()["alerts"][0]["job"], 8) << "newest first";
}

// A webhook receiver on loopback that refuses its first `refusals` posts.
struct Receiver {
    explicit Receiver(int refusals) : refusals(refusals) {
        server.Post("/hook", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard<std::mutex> guard(lock);
            ++posts;
            if (posts <= this->refusals) {
                response.status = 503;
                return;
            }
            bodies.push_back(nlohmann::json::parse(request.body));
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~Receiver() {
        server.stop();
        thread.join();
    }
    std::vector<nlohmann::json> Received() {
        std::lock_guard<std::mutex> guard(lock);
        return bodies;
    }
    int Posts() {
        std::lock_guard<std::mutex> guard(lock);
        return posts;
    }

    httplib::Server server;
    int refusals;
    int port = 0;
    int posts = 0;
    std::mutex lock;
    std::vector<nlohmann::json> bodies;
    std::thread thread;
};

TEST(AlertOutlet, AWebhookGetsEachAlertAsJsonRetriedAfterRefusals) {
    Receiver receiver(2);
    const ipm_Webhook hook("http://127.0.0.1:" + std::to_string(receiver.port) + "/hook", "http://mon:8080/");
    {
        ipm_AlertOutlet outlet("webhook", [&](const ipm_Alert& alert) { hook.Deliver(alert); },
                               std::chrono::milliseconds(10));
        outlet.Post(ipm_Alert{1, 7, "beam", "node7", "crashed", "crashed", 0});
        ASSERT_TRUE(WaitUntil([&] { return !receiver.Received().empty(); }));
    }
    const auto body = receiver.Received().at(0);
    EXPECT_EQ(body["text"], "Job beam (#7) on node7: crashed http://mon:8080/#job=7");
    EXPECT_EQ(body["rule"], "crashed");
    EXPECT_EQ(receiver.Posts(), 3);

    EXPECT_THROW(ipm_Webhook("ftp://host/x", ""), std::invalid_argument);
    EXPECT_THROW(ipm_Webhook("http:///x", ""), std::invalid_argument);
    const ipm_Webhook nowhere("http://127.0.0.1:1/hook", "");
    EXPECT_THROW(nowhere.Deliver(ipm_Alert{}), std::runtime_error);
}

TEST(Metrics, LabelsEscapedAndNonFiniteValuesSpelledForScrapers) {
    const auto jobs = nlohmann::ordered_json::parse(
        R"([{"id":1,"name":"a \"b\"","host":null,"transport":"direct","state":"running","messages":3,
             "warnings":0,"errors":1,"step":"nan","increment":null,"time":2.5,"lastMessage":1000},
            {"id":2,"name":"c","host":"h","transport":"jabber","state":"crashed","messages":0,"warnings":0,
             "errors":0,"step":null,"increment":null,"time":null,"lastMessage":null}])");
    const std::string text = ipm_Metrics::Render(jobs, {{"ipm_listener_messages_total", "Taken in.", 3}}, 3500);
    for (const char* line : {"ipm_jobs{state=\"crashed\"} 1\n",
                             "ipm_job_step{id=\"1\",name=\"a \\\"b\\\"\",host=\"\",transport=\"direct\"} NaN\n",
                             "ipm_job_seconds_since_last_message{id=\"1\",name=\"a \\\"b\\\"\",host=\"\","
                             "transport=\"direct\"} 2.5\n",
                             "# TYPE ipm_listener_messages_total counter\nipm_listener_messages_total 3\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("ipm_job_time{id=\"2\""), std::string::npos) << "no sample for a value never sent";
}

}  // namespace
