#include "tools/listen/ipm_JobRecord.h"

namespace {

void takeIfPresent(const nlohmann::ordered_json& fields, const char* name, nlohmann::ordered_json& latest) {
    const auto found = fields.find(name);
    if (found != fields.end()) latest = *found;
}

std::string textOf(const nlohmann::ordered_json& fields, const char* name) {
    const auto found = fields.find(name);
    if (found == fields.end()) return {};
    return found->is_string() ? found->get<std::string>() : found->dump();
}

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

}  // namespace

void ipm_JobRecord::Count(const ipm_MessageRecord& message) {
    ++messages;
    lastMessage = message.time;
    if (message.type == "Warning") ++warnings;
    if (message.type == "Error") ++errors;
    const auto& fields = message.fields;
    if (const auto found = fields.find("phase"); found != fields.end() && found->is_string()) {
        phase = found->get<std::string>();
    }
    takeIfPresent(fields, "step", step);
    takeIfPresent(fields, "increment", increment);
    takeIfPresent(fields, "time", time);
    if (message.type == "Started") {
        host = textOf(fields, "clientHost");
        handle = textOf(fields, "handle");
    }
}

nlohmann::ordered_json ipm_JobRecord::ToJson() const {
    return {{"id", id},
            {"name", name},
            {"host", textOrNull(host)},
            {"handle", textOrNull(handle)},
            {"transport", transport},
            {"peer", peer},
            {"state", state},
            {"phase", textOrNull(phase)},
            {"step", step},
            {"increment", increment},
            {"time", time},
            {"lastMessage", lastMessage ? nlohmann::ordered_json(lastMessage) : nlohmann::ordered_json()},
            {"messages", messages},
            {"warnings", warnings},
            {"errors", errors},
            {"started", started},
            {"stopOutcome", textOrNull(stopOutcome)}};
}
