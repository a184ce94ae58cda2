#pragma once

// The listener's monitor as a test reaches it: through its HTTP interface,
// with the token. `Monitored` is anything with the monitor's `monitor` port
// and `token`.

#include <httplib.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>

namespace monitor_api {

using Json = nlohmann::json;

// The answer to a GET with `headers`: status and body; 0 when none comes.
template <class Monitored>
std::pair<int, std::string> fetch(const Monitored& listener, const std::string& path,
                                  const httplib::Headers& headers) {
    httplib::Client client("127.0.0.1", listener.monitor);
    client.set_read_timeout(std::chrono::seconds(60));
    const auto answer = client.Get(path.c_str(), headers);
    return answer ? std::pair{answer->status, answer->body} : std::pair{0, std::string()};
}

template <class Monitored>
Json get(const Monitored& listener, const std::string& path) {
    const auto [status, body] = fetch(listener, path, {{"X-IPM-Token", listener.token}});
    return status == 200 ? Json::parse(body) : Json();
}

template <class Monitored>
int stop(const Monitored& listener, int id, const std::string& token) {
    httplib::Client client("127.0.0.1", listener.monitor);
    client.set_read_timeout(std::chrono::seconds(60));
    const auto answer = client.Post(("/api/jobs/" + std::to_string(id) + "/stop").c_str(), {{"X-IPM-Token", token}},
                                    "", "text/plain");
    return answer ? answer->status : 0;
}

// The job's row once `holds` is true of it; null when it does not come to that in time.
template <class Monitored>
Json rowWhen(const Monitored& listener, int id, const std::function<bool(const Json&)>& holds) {
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        for (const Json& row : Json(get(listener, "/api/jobs")["jobs"]))
            if (row["id"] == id && holds(row)) return row;
    }
    return nullptr;
}

}  // namespace monitor_api
