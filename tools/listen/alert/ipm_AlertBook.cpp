#include "tools/listen/alert/ipm_AlertBook.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

using Kind = ipm_AlertRule::Kind;
using Field = ipm_DocumentReader::Field;

// The direct transport sends NaN and values beyond single precision as the
// largest single-precision value, so that value counts as not finite too.
constexpr double rangeReplacement = static_cast<double>(std::numeric_limits<float>::max());

std::optional<double> numberOf(const Field& field) {
    if (field.type != "float" && field.type != "integer") return std::nullopt;
    if (field.value == "nan" || field.value == "-nan") return std::numeric_limits<double>::quiet_NaN();
    if (field.value == "inf") return std::numeric_limits<double>::infinity();
    if (field.value == "-inf") return -std::numeric_limits<double>::infinity();
    double value = 0;
    const char* end = field.value.data() + field.value.size();
    const auto [stop, error] = std::from_chars(field.value.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

bool isReal(double value) { return std::isfinite(value) && std::fabs(value) != rangeReplacement; }

const Field* fieldNamed(const ipm_DocumentReader::Message& message, const std::string& name) {
    // The last of the name counts. Iterators, since Clang 14 cannot use the
    // standard library's reversed view.
    const auto last = std::find_if(message.fields.rbegin(), message.fields.rend(),
                                   [&name](const Field& field) { return field.name == name; });
    return last == message.fields.rend() ? nullptr : &*last;
}

std::string shown(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "?";
}

}  // namespace

ipm_AlertBook::ipm_AlertBook(std::vector<ipm_AlertRule> rules) : rules(std::move(rules)) {}

std::optional<ipm_AlertBook::Verdict> ipm_AlertBook::Judge(const ipm_AlertRule& rule, Watch& watch,
                                                           const ipm_DocumentReader::Message& message) {
    if (rule.kind == Kind::Type) {
        const Field* text = fieldNamed(message, "message");
        return Verdict{message.type == rule.type, text ? text->value : message.type};
    }
    if (rule.kind == Kind::NonFinite) {
        bool seen = false;
        for (const Field& field : message.fields) {
            if (!rule.field.empty() && field.name != rule.field) continue;
            const auto value = field.type == "float" ? numberOf(field) : std::nullopt;
            if (!value) continue;
            seen = true;
            if (!isReal(*value)) return Verdict{true, field.name + " = " + field.value};
        }
        return seen ? std::optional<Verdict>(Verdict{}) : std::nullopt;
    }
    const Field* field = fieldNamed(message, rule.field);
    const auto value = field ? numberOf(*field) : std::nullopt;
    if (!value || !isReal(*value)) return std::nullopt;
    if (rule.kind == Kind::Above || rule.kind == Kind::Below) {
        const bool met = rule.kind == Kind::Above ? *value > rule.limit : *value < rule.limit;
        return Verdict{met, rule.field + " = " + field->value + (rule.kind == Kind::Above ? " above " : " below ") +
                                shown(rule.limit)};
    }
    const double magnitude = std::fabs(*value);
    double smallest = std::numeric_limits<double>::infinity();
    for (double earlier : watch.magnitudes)
        if (earlier > 0) smallest = std::min(smallest, earlier);
    watch.magnitudes.push_back(magnitude);
    if (watch.magnitudes.size() > rule.within) watch.magnitudes.pop_front();
    const bool met = std::isfinite(smallest) && magnitude >= rule.factor * smallest;
    return Verdict{met, rule.field + " grew from " + shown(smallest) + " to " + field->value + " within " +
                            std::to_string(rule.within) + " messages"};
}

std::vector<ipm_Alert> ipm_AlertBook::OnMessage(const ipm_JobRecord& job, const ipm_DocumentReader::Message& message,
                                                std::int64_t time) {
    std::vector<ipm_Alert> raised;
    for (std::size_t index = 0; index < rules.size(); ++index) {
        const ipm_AlertRule& rule = rules[index];
        if (rule.kind == Kind::State) continue;
        Watch& watch = watches[{job.id, index}];
        const auto verdict = Judge(rule, watch, message);
        if (!verdict) continue;
        if (verdict->met && !watch.fired) Record(raised, job, rule, verdict->detail, time);
        watch.fired = verdict->met || (watch.fired && rule.kind == Kind::Type);
    }
    return raised;
}

std::vector<ipm_Alert> ipm_AlertBook::OnState(const ipm_JobRecord& job, std::int64_t time) {
    std::vector<ipm_Alert> raised;
    for (std::size_t index = 0; index < rules.size(); ++index) {
        const ipm_AlertRule& rule = rules[index];
        if (rule.kind != Kind::State) continue;
        Watch& watch = watches[{job.id, index}];
        const bool met = std::find(rule.states.begin(), rule.states.end(), job.state) != rule.states.end();
        if (met && !watch.fired) Record(raised, job, rule, job.state, time);
        if (met || job.state == "running") watch.fired = met;
    }
    if (job.state != "running" && job.state != "silent")
        watches.erase(watches.lower_bound({job.id, 0}), watches.lower_bound({job.id + 1, 0}));
    return raised;
}

void ipm_AlertBook::Record(std::vector<ipm_Alert>& raised, const ipm_JobRecord& job, const ipm_AlertRule& rule,
                           std::string detail, std::int64_t time) {
    ipm_Alert alert{++lastId, job.id, job.name, job.host, rule.name, std::move(detail), time};
    ++counts[job.id];
    latest.push_front(alert);
    if (latest.size() > keptAlerts) latest.pop_back();
    raised.push_back(std::move(alert));
}

nlohmann::ordered_json ipm_AlertBook::Recent(std::int64_t job) const {
    auto alerts = nlohmann::ordered_json::array();
    for (const ipm_Alert& alert : latest)
        if (job == 0 || alert.job == job) alerts.push_back(alert.ToJson());
    return {{"alerts", std::move(alerts)}};
}

std::int64_t ipm_AlertBook::CountFor(std::int64_t job) const {
    const auto count = counts.find(job);
    return count == counts.end() ? 0 : count->second;
}
