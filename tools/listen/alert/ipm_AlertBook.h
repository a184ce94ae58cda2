#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/listen/alert/ipm_Alert.h"
#include "tools/listen/alert/ipm_AlertRule.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/store/ipm_JobRecord.h"

// Judges every message and state change of every job against the rules and
// keeps the latest alerts. Each rule fires once per job until re-armed (see
// ipm_AlertRule). Not thread-safe: the monitor calls it under its lock.
class ipm_AlertBook {
public:
    static constexpr std::size_t keptAlerts = 1000;

    explicit ipm_AlertBook(std::vector<ipm_AlertRule> rules);

    bool HasRules() const { return !rules.empty(); }
    // The alerts that `message`, arrived at `time`, raises for `job`.
    std::vector<ipm_Alert> OnMessage(const ipm_JobRecord& job, const ipm_DocumentReader::Message& message,
                                     std::int64_t time);
    // The alerts that the job's state (already changed) raises.
    std::vector<ipm_Alert> OnState(const ipm_JobRecord& job, std::int64_t time);
    // {"alerts":[ALERT,..]}, newest first; only the job's when `job` is not 0.
    nlohmann::ordered_json Recent(std::int64_t job = 0) const;
    // How many alerts the job has raised.
    std::int64_t CountFor(std::int64_t job) const;

private:
    struct Watch {
        bool fired = false;
        // Grows: the field's latest magnitudes, oldest first.
        std::deque<double> magnitudes;
    };
    // Whether the rule's condition holds, with what was seen; empty when the
    // message says nothing about it (the field is absent), which neither
    // fires nor re-arms the rule.
    struct Verdict {
        bool met = false;
        std::string detail;
    };

    static std::optional<Verdict> Judge(const ipm_AlertRule& rule, Watch& watch,
                                        const ipm_DocumentReader::Message& message);
    void Record(std::vector<ipm_Alert>& raised, const ipm_JobRecord& job, const ipm_AlertRule& rule,
                std::string detail, std::int64_t time);

    std::vector<ipm_AlertRule> rules;
    std::map<std::pair<std::int64_t, std::size_t>, Watch> watches;
    std::deque<ipm_Alert> latest;
    std::map<std::int64_t, std::int64_t> counts;
    std::int64_t lastId = 0;
};
