#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/store/ipm_Vocabulary.h"

// One job as the monitor shows it: one connection of a job, so that jobs of
// the same name stay apart.
struct ipm_JobRecord {
    std::int64_t id = 0;
    std::string name;
    // From the job's start message; empty until it came.
    std::string host;
    std::string handle;
    // One of ipm_Vocabulary's transports.
    std::string transport;
    // Where the job connected from: ADDR:PORT or its Jabber address.
    std::string peer;
    // One of ipm_Vocabulary's states: "running", "stopped" (ended by
    // itself), "killed" (ended after Kill was sent), "gone" (the connection
    // broke, or the listener ended first), "unreachable" (Kill could not be
    // delivered).
    std::string state{ipm_Vocabulary::running};
    std::string phase;
    // The latest values of these fields; null while none came.
    nlohmann::ordered_json step;
    nlohmann::ordered_json increment;
    nlohmann::ordered_json time;
    std::int64_t lastMessage = 0;
    std::int64_t messages = 0;
    std::int64_t warnings = 0;
    std::int64_t errors = 0;
    std::int64_t started = 0;
    // Empty until a stop was asked for; then "sent" or "failed: REASON".
    std::string stopOutcome;

    // Takes the latest values and counts from one more message, arrived at
    // `time`: warnings and errors as ipm_Vocabulary::KindOf tells them.
    void Count(const ipm_DocumentReader::Message& message, std::int64_t time);
    nlohmann::ordered_json ToJson() const;
};
