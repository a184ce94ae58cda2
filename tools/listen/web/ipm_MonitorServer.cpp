#include "tools/listen/web/ipm_MonitorServer.h"

#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "csp/csp_IpAddress.h"
#include "csp/csp_TcpSocket.h"
#include "tools/listen/web/ipm_AccessToken.h"
#include "tools/listen/web/ipm_MessageExport.h"
#include "tools/listen/web/ipm_Metrics.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/store/ipm_Vocabulary.h"
#include "tools/listen/web/ipm_WebAsset.h"

namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr int defaultLimit = 500;
constexpr int maxLimit = 5000;
// A comment on an idle event stream now and then, so that a reader gone
// away is noticed and proxies keep the stream open.
constexpr auto keepAliveTime = 15s;

// A bad request, answered with its status and reason.
struct Refusal : std::runtime_error {
    Refusal(int status, const std::string& why) : std::runtime_error(why), status(status) {}
    int status;
};

void answerText(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    // With a charset the answer is not compressed: the library's brotli at
    // its highest quality costs seconds for a page of messages.
    response.set_content(body, "application/json; charset=utf-8");
}

void answer(httplib::Response& response, int status, const Json& body) {
    answerText(response, status, body.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::int64_t number(const std::string& text, std::int64_t lowest, std::int64_t highest, const std::string& what) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < lowest || value > highest) {
        throw Refusal(400, what + " needs a number from " + std::to_string(lowest) + " to " + std::to_string(highest));
    }
    return value;
}

// A bound of a range; `otherwise` when not given.
double bound(const httplib::Request& request, const char* name, double otherwise) {
    if (!request.has_param(name)) return otherwise;
    const std::string text = request.get_param_value(name);
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) {
        throw Refusal(400, std::string(name) + " needs a finite number");
    }
    return value;
}

std::string parameter(const httplib::Request& request, const char* name, const std::string& otherwise) {
    return request.has_param(name) ? request.get_param_value(name) : otherwise;
}

// Answers with the handler's JSON (or JSON text), or with the refusal it raised.
template <class Handler>
httplib::Server::Handler jsonRoute(Handler handler) {
    return [handler](const httplib::Request& request, httplib::Response& response) {
        try {
            const auto body = handler(request);
            if constexpr (std::is_same_v<decltype(body), const std::string>) {
                answerText(response, 200, body);
            } else {
                answer(response, 200, body);
            }
        } catch (const Refusal& refusal) {
            answer(response, refusal.status, {{"error", refusal.what()}});
        }
    };
}

// The page is never framed by another site (a stop button under a decoy)
// and loads nothing from elsewhere.
void setPageHeaders(httplib::Response& response) {
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
}

// This machine's name, lower case, as a browser may call it.
std::string machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

}  // namespace

ipm_MonitorServer::ipm_MonitorServer(ipm_Monitor& monitor, const std::string& address, std::uint16_t port,
                                     std::string token, std::string webDirectory)
    : monitor(monitor),
      address(address),
      token(std::move(token)),
      webDirectory(std::move(webDirectory)),
      server(std::make_unique<ipm_BoundedHttpServer>(
          [this](const httplib::Request& request, httplib::Response& response) { return Admit(request, response); })) {
    server->new_task_queue = [] { return new httplib::ThreadPool(threads); };
    // The library's default also sets SO_REUSEPORT, which would let a second
    // listener share the port and answer half of the page's requests.
    server->set_socket_options([](int descriptor) { csp_TcpSocket::borrowed(descriptor).setReuseAddress(true); });
    pageFiles.Add("/static/vocabulary.js", "text/javascript; charset=utf-8",
                  "export default " + ipm_Vocabulary::ToJson().dump() + ";\n");
    Route();
    // The library leaves the reason of a failed bind in errno.
    errno = 0;
    this->port = server->Bind(address, port);
    if (this->port <= 0) {
        const std::string reason = errno != 0 ? std::strerror(errno) : "the address cannot be bound";
        throw std::runtime_error("the monitor cannot listen on " + address + ":" + std::to_string(port) + ": " +
                                 reason);
    }
    serving = std::thread([this] { server->listen_after_bind(); });
    refreshing = std::thread([this] { RefreshJobs(); });
}

void ipm_MonitorServer::RefreshJobs() {
    std::unique_lock guard(refreshLock);
    while (!refreshDue.wait_for(guard, refreshInterval, [this] { return stopping; })) {
        guard.unlock();
        try {
            monitor.Refresh();
        } catch (const std::exception& error) {
            ipm_Console::Report(std::string("warning: cannot read the history's new jobs: ") + error.what());
        }
        guard.lock();
    }
}

ipm_MonitorServer::~ipm_MonitorServer() {
    {
        std::lock_guard guard(refreshLock);
        stopping = true;
    }
    refreshDue.notify_all();
    refreshing.join();
    // The open pages get their "end" event before the server goes.
    monitor.Events().Close();
    monitor.Events().AwaitReadersGone(endEventTime);
    server->StopServing();
    serving.join();
}

std::string ipm_MonitorServer::PageAddress() const {
    return "http://" + address + ":" + std::to_string(port) + "/?token=" + token;
}

std::string ipm_MonitorServer::Address() const {
    return "http://" + (address == "0.0.0.0" ? machineName() : address) + ":" + std::to_string(port) + "/";
}

std::string ipm_MonitorServer::Metrics() {
    const auto counts = monitor.IngestCounts();
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    return ipm_Metrics::Render(monitor.Jobs()["jobs"],
                               {{"ipm_listener_messages_total", "Messages this listener has taken in.", counts.messages},
                                {"ipm_listener_messages_refused_total", "Messages the history could not take.",
                                 counts.refused},
                                {"ipm_listener_alerts_total", "Alerts this listener has raised.", counts.alerts}},
                               now);
}

httplib::Server::HandlerResponse ipm_MonitorServer::Admit(const httplib::Request& request,
                                                           httplib::Response& response) const {
    if (!IsOwnHost(request.get_header_value("Host"))) {
        answer(response, 403, {{"error", "the request is for another host"}});
        return httplib::Server::HandlerResponse::Handled;
    }
    // The page sends the header, scrapers a bearer token, the event stream the parameter.
    const std::string bearer = request.get_header_value("Authorization");
    const std::string given = request.has_header("X-IPM-Token") ? request.get_header_value("X-IPM-Token")
                              : bearer.starts_with("Bearer ")   ? bearer.substr(7)
                                                                : parameter(request, "token", "");
    // Only the page itself, which holds no job's data, is served without it.
    const bool page = request.path == "/" || request.path.starts_with("/static/");
    if (!page && !ipm_AccessToken::Matches(token, given)) {
        answer(response, 403, {{"error", "missing or wrong access token"}});
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

bool ipm_MonitorServer::IsOwnHost(const std::string& host) const {
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.substr(colon + 1) != std::to_string(port)) return false;
    std::string name = host.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == address || name == "localhost" || name == machineName()) return true;
    return address == "0.0.0.0" && csp_IpAddress::fromDotted(name).has_value();
}

void ipm_MonitorServer::ServePageFile(const httplib::Request& request, httplib::Response& response) {
    setPageHeaders(response);
    const ipm_WebAsset* asset = ipm_findWebAsset(request.path);
    if (webDirectory.empty() || !asset) {
        if (!pageFiles.Answer(request, response)) answer(response, 404, {{"error", "no such page"}});
        return;
    }
    // Only the names the built-in page has: nothing else of the disk is reachable.
    std::string body(asset->body);
    std::ifstream file(std::filesystem::path(webDirectory) / asset->fileName, std::ios::binary);
    if (file) body.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    // An edited file shows at the next reload.
    response.set_header("Cache-Control", "no-store");
    response.set_content(body, std::string(asset->contentType));
}

void ipm_MonitorServer::Route() {
    const auto jobOf = [this](const httplib::Request& request) {
        const std::int64_t job = number(request.matches[1], 1, INT64_MAX, "the job");
        if (!monitor.Knows(job)) throw Refusal(404, "no job " + std::to_string(job));
        return job;
    };
    server->Get("/api/jobs", jsonRoute([this](const httplib::Request&) { return monitor.Jobs(); }));
    server->Get(R"(/api/jobs/(\d+)/messages)", jsonRoute([this, jobOf](const httplib::Request& request) {
                    const std::int64_t job = jobOf(request);
                    const std::int64_t after = number(parameter(request, "after", "0"), 0, INT64_MAX, "after");
                    const std::int64_t before = number(parameter(request, "before", "0"), 0, INT64_MAX, "before");
                    const auto limit =
                        number(parameter(request, "limit", std::to_string(defaultLimit)), 1, maxLimit, "limit");
                    return monitor.History().Messages(job, after, before, parameter(request, "type", ""),
                                                      static_cast<int>(limit));
                }));
    server->Get(R"(/api/jobs/(\d+)/types)", jsonRoute([this, jobOf](const httplib::Request& request) {
                    return monitor.History().MessageTypes(jobOf(request));
                }));
    server->Get(R"(/api/jobs/(\d+)/series)", jsonRoute([this, jobOf](const httplib::Request& request) {
                    const std::int64_t job = jobOf(request);
                    const std::string field = parameter(request, "field", "");
                    if (field.empty()) throw Refusal(400, "series needs a field");
                    const std::string x = parameter(request, "x", "time");
                    const double from = bound(request, "from", -DBL_MAX), to = bound(request, "to", DBL_MAX);
                    return Json{{"field", field}, {"x", x}, {"points", monitor.History().Series(job, field, x, from, to)}};
                }));
    // Every numeric field's series at once: a job's view opens with one request.
    server->Get(R"(/api/jobs/(\d+)/charts)", jsonRoute([this, jobOf](const httplib::Request& request) {
                    const std::int64_t job = jobOf(request);
                    const std::string x = parameter(request, "x", "time");
                    Json series = Json::object();
                    for (const std::string& field : monitor.History().NumericFields(job)) {
                        if (field != x) series[field] = monitor.History().Series(job, field, x, -DBL_MAX, DBL_MAX);
                    }
                    return Json{{"x", x}, {"series", std::move(series)}};
                }));
    server->Post(R"(/api/jobs/(\d+)/stop)", [this, jobOf](const httplib::Request& request, httplib::Response& response) {
        try {
            const auto [status, body] = monitor.RequestStop(jobOf(request));
            answer(response, status, body);
        } catch (const Refusal& refusal) {
            answer(response, refusal.status, {{"error", refusal.what()}});
        }
    });
    server->Get("/api/alerts", jsonRoute([this](const httplib::Request& request) {
                    return monitor.Alerts(number(parameter(request, "job", "0"), 0, INT64_MAX, "job"));
                }));
    server->Get(R"(/api/jobs/(\d+)/export)", [this, jobOf](const httplib::Request& request, httplib::Response& response) {
        try {
            const std::int64_t job = jobOf(request);
            const std::string format = parameter(request, "format", "csv");
            if (format != "csv" && format != "json") throw Refusal(400, "format is csv or json");
            auto writer = std::make_shared<ipm_MessageExport>(
                monitor.History(), job, format == "csv" ? ipm_MessageExport::Format::csv : ipm_MessageExport::Format::json);
            response.set_header("Content-Disposition",
                                "attachment; filename=\"job-" + std::to_string(job) + "." + format + "\"");
            response.set_chunked_content_provider(
                format == "csv" ? "text/csv; charset=utf-8" : "application/json; charset=utf-8",
                [writer](std::size_t, httplib::DataSink& sink) {
                    std::string part;
                    if (!writer->Next(part)) {
                        sink.done();
                        return true;
                    }
                    return sink.write(part.data(), part.size());
                });
        } catch (const Refusal& refusal) {
            answer(response, refusal.status, {{"error", refusal.what()}});
        }
    });
    server->Get(R"(/api/jobs/(\d+)/requests)", jsonRoute([this, jobOf](const httplib::Request& request) {
                    return monitor.Requests(jobOf(request));
                }));
    server->Post(R"(/api/jobs/(\d+)/requests)", [this, jobOf](const httplib::Request& request,
                                                             httplib::Response& response) {
        try {
            const std::int64_t job = jobOf(request);
            const Json body = Json::parse(request.body, nullptr, false);
            if (!body.is_object() || !body.contains("name") || !body["name"].is_string() ||
                (body.contains("value") && !body["value"].is_string()))
                throw Refusal(400, R"(a request needs a JSON object {"name": NAME, "value": VALUE})");
            const auto [status, answerBody] =
                monitor.SendRequest(job, body["name"].get<std::string>(), body.value("value", std::string()));
            answer(response, status, answerBody);
        } catch (const Refusal& refusal) {
            answer(response, refusal.status, {{"error", refusal.what()}});
        }
    });
    server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server->Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
        const std::uint64_t reader = monitor.Events().Join();
        if (reader == 0) {
            answer(response, 503, {{"error", "too many readers of the event stream"}});
            return;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, reader](std::size_t, httplib::DataSink& sink) {
                std::string events;
                if (!monitor.Events().Take(reader, events, keepAliveTime)) return false;
                if (events.empty()) events = ":\n\n";
                return sink.write(events.data(), events.size());
            },
            [this, reader](bool) { monitor.Events().Leave(reader); });
    });
    server->Get(R"(/|/static/[^/]+)", [this](const httplib::Request& request, httplib::Response& response) {
        ServePageFile(request, response);
    });
    server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return;
        answer(response, response.status,
               {{"error", response.status == 404 ? "no such page" : "request refused (" + std::to_string(response.status) + ")"}});
    });
    server->set_exception_handler([](const httplib::Request&, httplib::Response& response, const std::exception_ptr&) {
        answer(response, 500, {{"error", "internal error"}});
    });
    server->set_default_headers({{"X-Content-Type-Options", "nosniff"}});
}
