#include "tools/listen/store/ipm_JobRecord.h"

#include "tools/listen/store/ipm_TypedValue.h"
#include "tools/listen/store/ipm_Vocabulary.h"

namespace {

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

}  // namespace

void ipm_JobRecord::Count(const ipm_DocumentReader::Message& message, std::int64_t arrival) {
    ++messages;
    lastMessage = arrival;
    const ipm_Vocabulary::Kind kind = ipm_Vocabulary::KindOf(message.type);
    if (kind == ipm_Vocabulary::Kind::warning) ++warnings;
    if (kind == ipm_Vocabulary::Kind::error) ++errors;
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
