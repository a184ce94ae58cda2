#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

// One condition worth telling an engineer about, from the rules file
// (docs/alerts.md) or an option. A rule fires once per job, and again only
// after it has been re-armed: a state rule when the job is running again, a
// field rule when a later message no longer meets its condition; a type rule
// fires once per job.
struct ipm_AlertRule {
    enum class Kind {
        // The job reached one of `states`.
        State,
        // A message of type `type` came.
        Type,
        // A numeric field (`field`, or any when empty) is NaN or infinite.
        NonFinite,
        // |field| grew by at least `factor` over its smallest magnitude in
        // the `within` messages before.
        Grows,
        // The field is above (or below) `limit`.
        Above,
        Below
    };

    std::string name;
    Kind kind = Kind::Type;
    std::vector<std::string> states;
    std::string type;
    std::string field;
    double factor = 0;
    std::size_t within = 0;
    double limit = 0;

    // Throws std::invalid_argument naming what is wrong.
    static ipm_AlertRule FromJson(const nlohmann::json& rule);
    // The text of an --alert option: a state ("crashed"), "error",
    // "nonfinite", "grows:FIELD:FACTOR:WITHIN", "above:FIELD:LIMIT" or
    // "below:FIELD:LIMIT".
    static ipm_AlertRule FromOption(std::string_view text);
};
