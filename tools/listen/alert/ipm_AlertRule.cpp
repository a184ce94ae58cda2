#include "tools/listen/alert/ipm_AlertRule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace {

using Kind = ipm_AlertRule::Kind;

const std::vector<std::string>& jobStates() {
    static const std::vector<std::string> states{"finished", "killed", "stopped", "crashed", "silent", "unreachable"};
    return states;
}

std::invalid_argument bad(const std::string& rule, const std::string& why) {
    return std::invalid_argument("alert rule \"" + rule + "\": " + why);
}

Kind kindNamed(const std::string& rule, const std::string& when) {
    static const std::vector<std::pair<std::string, Kind>> kinds{{"state", Kind::State},   {"type", Kind::Type},
                                                                 {"nonfinite", Kind::NonFinite},
                                                                 {"grows", Kind::Grows}, {"above", Kind::Above},
                                                                 {"below", Kind::Below}};
    for (const auto& [name, kind] : kinds)
        if (name == when) return kind;
    throw bad(rule, R"("when" must be state, type, nonfinite, grows, above or below, not ")" + when + "\"");
}

double number(const std::string& rule, std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        throw bad(rule, "\"" + std::string(text) + "\" is not a finite number");
    return value;
}

// Checks what each kind needs, so that a rule that can never fire is refused
// when the listener starts rather than ignored for ever.
void check(const ipm_AlertRule& rule) {
    if (rule.name.empty()) throw std::invalid_argument("alert rule without a name");
    const bool needsField = rule.kind == Kind::Grows || rule.kind == Kind::Above || rule.kind == Kind::Below;
    if (needsField && rule.field.empty()) throw bad(rule.name, "needs a \"field\"");
    if (rule.kind == Kind::Type && rule.type.empty()) throw bad(rule.name, "needs a message \"type\"");
    if (rule.kind == Kind::Grows && !(rule.factor > 1)) throw bad(rule.name, "\"factor\" must be above 1");
    if (rule.kind == Kind::Grows && (rule.within < 1 || rule.within > 10000))
        throw bad(rule.name, "\"within\" must be 1 to 10000 messages");
    if (rule.kind == Kind::State && rule.states.empty()) throw bad(rule.name, "needs \"states\"");
    for (const std::string& state : rule.states)
        if (std::find(jobStates().begin(), jobStates().end(), state) == jobStates().end())
            throw bad(rule.name, "\"" + state + "\" is not a state a job ends or stalls in");
}

}  // namespace

ipm_AlertRule ipm_AlertRule::FromJson(const nlohmann::json& json) {
    if (!json.is_object()) throw std::invalid_argument("an alert rule must be a JSON object");
    ipm_AlertRule rule;
    try {
        rule.name = json.value("name", "");
        rule.kind = kindNamed(rule.name, json.at("when").get<std::string>());
        rule.states = json.value("states", std::vector<std::string>());
        rule.type = json.value("type", "");
        rule.field = json.value("field", "");
        rule.factor = json.value("factor", 0.0);
        rule.within = json.value("within", std::size_t{0});
        rule.limit = json.value("limit", 0.0);
    } catch (const nlohmann::json::exception& error) {
        throw bad(rule.name, error.what());
    }
    check(rule);
    return rule;
}

ipm_AlertRule ipm_AlertRule::FromOption(std::string_view text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t colon = text.find(':', start);
        parts.emplace_back(text.substr(start, colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    const std::string option(text);
    ipm_AlertRule rule;
    rule.name = option;
    const std::string& head = parts[0];
    if (parts.size() == 1 && head == "error") {
        rule.kind = Kind::Type;
        rule.type = "Error";
    } else if (parts.size() == 1 && head == "nonfinite") {
        rule.kind = Kind::NonFinite;
    } else if (parts.size() == 1) {
        rule.kind = Kind::State;
        rule.states = {head};
    } else if (parts.size() == 4 && head == "grows") {
        rule.kind = Kind::Grows;
        rule.field = parts[1];
        rule.factor = number(option, parts[2]);
        rule.within = static_cast<std::size_t>(number(option, parts[3]));
    } else if (parts.size() == 3 && (head == "above" || head == "below")) {
        rule.kind = head == "above" ? Kind::Above : Kind::Below;
        rule.field = parts[1];
        rule.limit = number(option, parts[2]);
    } else {
        throw bad(option, "expected a state, error, nonfinite, grows:FIELD:FACTOR:WITHIN, above:FIELD:LIMIT "
                          "or below:FIELD:LIMIT");
    }
    check(rule);
    return rule;
}
