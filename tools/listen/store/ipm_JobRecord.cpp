#include "tools/listen/store/ipm_JobRecord.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "tools/listen/store/ipm_TypedValue.h"
#include "tools/listen/store/ipm_Vocabulary.h"

namespace {

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

nlohmann::ordered_json timeOrNull(std::int64_t time) {
    return time ? nlohmann::ordered_json(time) : nlohmann::ordered_json();
}

const ipm_DocumentReader::Field* fieldOf(const ipm_DocumentReader::Message& message, std::string_view name) {
    const auto field = std::find_if(message.fields.begin(), message.fields.end(),
                                    [&](const auto& candidate) { return candidate.name == name; });
    return field == message.fields.end() ? nullptr : &*field;
}

// The field's value when it is a finite number; NaN otherwise.
double numberOf(const ipm_DocumentReader::Message& message, std::string_view name) {
    const ipm_DocumentReader::Field* field = fieldOf(message, name);
    const std::optional<double> number = field ? ipm_TypedValue::Number(field->type, field->value) : std::nullopt;
    return number && std::isfinite(*number) ? *number : std::numeric_limits<double>::quiet_NaN();
}

std::string textOf(const ipm_DocumentReader::Message& message, std::string_view name) {
    const ipm_DocumentReader::Field* field = fieldOf(message, name);
    return field ? field->value : std::string();
}

}  // namespace

void ipm_JobRecord::Count(const ipm_DocumentReader::Message& message, std::int64_t arrival) {
    if (messages > 0) {
        intervals.push_back(arrival - lastMessage);
        if (intervals.size() > intervalsKept) intervals.pop_front();
    }
    ++messages;
    lastMessage = arrival;
    if (state == "silent") state = ipm_Vocabulary::running;
    const ipm_Vocabulary::Kind kind = ipm_Vocabulary::KindOf(message.type);
    if (kind == ipm_Vocabulary::Kind::warning) ++warnings;
    if (kind == ipm_Vocabulary::Kind::error) ++errors;
    if (message.type == "JobEnded") endSent = true;
    if (message.type == "RequestAnswered")
        stopAnswered = textOf(message, "name") == "stop" && textOf(message, "outcome") == "done";
    const bool started = message.type == "Started";
    for (const auto& field : message.fields) {
        const std::string& name = field.name;
        if (name == "step") step = ipm_TypedValue::Of(field.type, field.value);
        if (name == "increment") increment = ipm_TypedValue::Of(field.type, field.value);
        if (name == "time") time = ipm_TypedValue::Of(field.type, field.value);
        if (name == "phase" && !ipm_TypedValue::IsNumber(field.type, field.value)) phase = field.value;
        if (started && name == "clientHost") host = field.value;
        if (started && name == "handle") handle = field.value;
    }
    TakeProgress(message);
}

// Values outside [0, 1] (a total of 0, say) tell nothing and are left out.
void ipm_JobRecord::TakeProgress(const ipm_DocumentReader::Message& message) {
    double fraction = numberOf(message, "fraction");
    if (!(fraction >= 0 && fraction <= 1)) fraction = numberOf(message, "step") / numberOf(message, "steps");
    if (fraction >= 0 && fraction <= 1) progress = fraction;
}

// Kill sent and the job gone is killed, however it went: a job may end
// itself abruptly when asked to.
void ipm_JobRecord::End(std::int64_t at) {
    if (!Live()) return;
    ended = at;
    if (stopOutcome == "sent")
        state = "killed";
    else if (!endSent)
        state = "crashed";
    else
        state = stopAnswered ? "stopped" : "finished";
}

bool ipm_JobRecord::FallenSilent(std::int64_t now, std::int64_t floorMilliseconds) const {
    if (state != "running") return false;
    std::int64_t bound = floorMilliseconds;
    if (!intervals.empty()) {
        std::vector<std::int64_t> sorted(intervals.begin(), intervals.end());
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
        bound = std::max(bound, silentIntervals * sorted[sorted.size() / 2]);
    }
    return now - (lastMessage ? lastMessage : started) >= bound;
}

bool ipm_JobRecord::NeedsLook() const { return state == "crashed" || state == "silent" || state == "unreachable"; }

nlohmann::ordered_json ipm_JobRecord::ToJson() const {
    return {{"id", id},
            {"name", name},
            {"host", textOrNull(host)},
            {"handle", textOrNull(handle)},
            {"transport", transport},
            {"peer", peer},
            {"state", state},
            {"needsLook", NeedsLook()},
            {"phase", textOrNull(phase)},
            {"step", step},
            {"increment", increment},
            {"time", time},
            {"progress", progress},
            {"lastMessage", timeOrNull(lastMessage)},
            {"messages", messages},
            {"warnings", warnings},
            {"errors", errors},
            {"started", started},
            {"alerts", alerts},
            {"ended", timeOrNull(ended)},
            {"stopOutcome", textOrNull(stopOutcome)}};
}
