#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ipm/ipm_Request.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"

// The listener's side of requests beside Kill, for both transports: the
// requests each job offers (its latest "RequestsOffered" message), the
// requests sent and their answers ("RequestAnswered"), and those waiting for
// a job that is not connected. Safe to call from any thread.
//
// A request is "requested" until the job answers "done", "refused" or
// "failed"; without an answer within answerTime it shows as "no answer", or
// as "not delivered" when it never reached the job. Ids increase over the
// listener's life and start from the seconds since 2026, so that a job that
// outlives one listener never takes a later listener's request for one it
// has seen.
class ipm_RequestBook {
public:
    static constexpr std::size_t keptRequests = 500;
    static constexpr std::size_t parkedPerJob = 16;

    explicit ipm_RequestBook(std::chrono::seconds answerTime = std::chrono::seconds(60));

    // Told of every document of a job named `job` on `transport`, which the
    // monitor numbers `monitorId` (0 without a monitor).
    void Observe(const std::string& transport, const std::string& job, std::int64_t monitorId,
                 const ipm_DocumentReader::Message& message);
    // A new request to the job; nullopt, with `why`, for a name or value that
    // is not valid or a name the job has not offered.
    std::optional<ipm_Request> Create(const std::string& transport, const std::string& job, std::int64_t monitorId,
                                      const std::string& name, const std::string& value, std::string& why);
    // The request went out on the job's connection.
    void Delivered(int id);
    // The request could not go out; it waits for its job to connect again
    // within answerTime, and is "not delivered" otherwise.
    void Park(const ipm_Request& request);
    // The requests waiting for a job that has just connected, each once.
    std::vector<ipm_Request> TakeParked(const std::string& transport, const std::string& job);
    // The request did not reach the job (the server said so).
    void NotDelivered(int id);
    // True when the job has ever offered requests.
    bool Offers(const std::string& transport, const std::string& job);

    // {"offered":[{"name","label"},..],"requests":[{"id","name","value",
    // "state","text","requested"},..],"answerTime":SECONDS} for one job.
    nlohmann::ordered_json Json(const std::string& transport, const std::string& job, std::int64_t monitorId);
    // Called, outside the book's lock, with the monitor's number of a job
    // whose offer or requests changed.
    void OnChange(std::function<void(std::int64_t monitorId)> listener);

private:
    struct Entry {
        ipm_Request request;
        std::string transport;
        std::string job;
        std::int64_t monitorId = 0;
        std::string state = "requested";
        std::string text;
        std::chrono::system_clock::time_point requested;
        bool delivered = false;
    };
    using JobKey = std::pair<std::string, std::string>;

    std::string StateOf(const Entry& entry) const;
    void Announce(std::int64_t monitorId);

    const std::chrono::seconds answerTime;
    std::mutex lock;
    int nextId;
    std::map<JobKey, std::vector<std::pair<std::string, std::string>>> offers;
    std::map<int, Entry> requests;
    std::map<JobKey, std::deque<int>> parked;
    std::function<void(std::int64_t)> changed;
};
