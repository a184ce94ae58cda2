#include "tools/listen/web/ipm_MessageExport.h"

namespace {

using Json = nlohmann::ordered_json;

// One CSV cell: quoted when it holds a comma, a quote or a line break.
void appendCell(std::string& out, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

std::string cellText(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    return value.is_null() ? "" : value.dump();
}

}  // namespace

ipm_MessageExport::ipm_MessageExport(ipm_History& history, std::int64_t job, Format format)
    : history(history), job(job), format(format) {}

bool ipm_MessageExport::Next(std::string& out) {
    if (finished) return false;
    if (!started) {
        started = true;
        if (format == Format::json) {
            out += '[';
        } else {
            fieldNames = history.FieldNames(job);
            out += "id,time,type";
            for (const std::string& name : fieldNames) appendCell(out += ',', name);
            out += "\r\n";
        }
    }
    const Json page = Json::parse(history.Messages(job, after, 0, "", pageSize));
    for (const Json& message : page["messages"]) {
        if (format == Format::csv) {
            AppendCsvRow(out, message);
        } else {
            if (after != 0) out += ',';
            out += message.dump(-1, ' ', false, Json::error_handler_t::replace);
        }
        after = message["id"].get<std::int64_t>();
    }
    if (page["messages"].size() < pageSize) {
        finished = true;
        if (format == Format::json) out += "]\n";
    }
    return true;
}

void ipm_MessageExport::AppendCsvRow(std::string& out, const Json& message) const {
    out += std::to_string(message["id"].get<std::int64_t>()) + ',' + std::to_string(message["time"].get<std::int64_t>()) +
           ',';
    appendCell(out, message["type"].get<std::string>());
    const Json& fields = message["fields"];
    for (const std::string& name : fieldNames) {
        out += ',';
        const auto value = fields.find(name);
        if (value != fields.end()) appendCell(out, cellText(*value));
    }
    out += "\r\n";
}
