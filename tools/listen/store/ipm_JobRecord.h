#pragma once

#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/store/ipm_Vocabulary.h"

// One job as the monitor shows it: one connection of a job, so that jobs of
// the same name stay apart. Its life cycle: docs/lifecycle.md.
struct ipm_JobRecord {
    // A job is silent after this many times its median interval without a
    // message, and never sooner than the monitor's floor.
    static constexpr std::int64_t silentIntervals = 10;
    // The intervals the median is taken over: the latest ones.
    static constexpr std::size_t intervalsKept = 31;

    std::int64_t id = 0;
    std::string name;
    // From the job's start message; empty until it came.
    std::string host;
    std::string handle;
    // One of ipm_Vocabulary's transports.
    std::string transport;
    // Where the job connected from: ADDR:PORT or its Jabber address.
    std::string peer;
    // One of ipm_Vocabulary's states: "running", "silent", "finished",
    // "killed", "stopped" (on request), "crashed" or "unreachable": see
    // docs/lifecycle.md.
    std::string state{ipm_Vocabulary::running};
    std::string phase;
    // The latest values of these fields; null while none came.
    nlohmann::ordered_json step;
    nlohmann::ordered_json increment;
    nlohmann::ordered_json time;
    // How far the job is, from 0 to 1, by its latest report of `fraction`, or
    // of `step` with `steps`; null while it has reported neither.
    nlohmann::ordered_json progress;
    std::int64_t lastMessage = 0;
    std::int64_t messages = 0;
    std::int64_t warnings = 0;
    std::int64_t errors = 0;
    std::int64_t started = 0;
    // Alerts the job raised in this listener's run (not kept in the history).
    std::int64_t alerts = 0;
    // When the job's connection ended; 0 while it lasts.
    std::int64_t ended = 0;
    // Empty until a stop was asked for; then "sent" or "failed: REASON".
    std::string stopOutcome;

    // Known only while the job is followed, so not kept in the history.
    // The job sent "JobEnded": it ended messaging in order.
    bool endSent = false;
    // Its last answer to a request was "stop" done.
    bool stopAnswered = false;
    std::deque<std::int64_t> intervals;

    // Takes the latest values and counts from one more message, arrived at
    // `time`: warnings and errors as ipm_Vocabulary::KindOf tells them; a
    // silent job runs again.
    void Count(const ipm_DocumentReader::Message& message, std::int64_t time);
    // The connection ended at `time`: the state tells how.
    void End(std::int64_t time);
    // Running, yet no message for as long as makes it silent at `now`.
    bool FallenSilent(std::int64_t now, std::int64_t floorMilliseconds) const;
    bool Live() const { return state == "running" || state == "silent"; }
    // Crashed, silent or unreachable: someone should look at it.
    bool NeedsLook() const;
    nlohmann::ordered_json ToJson() const;

private:
    void TakeProgress(const ipm_DocumentReader::Message& message);
};
