#include "tools/listen/web/ipm_Metrics.h"

#include <map>
#include <sstream>

namespace {

// A label value with backslash, double quote and line feed escaped.
std::string labelValue(const nlohmann::ordered_json& value) {
    const std::string text = value.is_string() ? value.get<std::string>() : value.is_null() ? "" : value.dump();
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

std::string jobLabels(const nlohmann::ordered_json& job) {
    return "{id=\"" + labelValue(job["id"]) + "\",name=\"" + labelValue(job["name"]) + "\",host=\"" +
           labelValue(job["host"]) + "\",transport=\"" + labelValue(job["transport"]) + "\"}";
}

void family(std::ostringstream& out, const std::string& name, const std::string& type, const std::string& help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

std::string number(const nlohmann::ordered_json& value) {
    if (value.is_number()) return value.dump();
    if (value == "nan") return "NaN";
    if (value == "inf") return "+Inf";
    if (value == "-inf") return "-Inf";
    return "";
}

void perJob(std::ostringstream& out, const nlohmann::ordered_json& jobs, const std::string& name,
            const std::string& type, const std::string& help, const std::string& key) {
    family(out, name, type, help);
    for (const auto& job : jobs) {
        const std::string value = number(job.value(key, nlohmann::ordered_json()));
        if (!value.empty()) out << name << jobLabels(job) << ' ' << value << '\n';
    }
}

}  // namespace

std::string ipm_Metrics::Render(const nlohmann::ordered_json& jobs, const std::vector<Counter>& listener,
                                std::int64_t now) {
    std::ostringstream out;
    std::map<std::string, int> byState;
    for (const auto& job : jobs) ++byState[job.value("state", "")];
    family(out, "ipm_jobs", "gauge", "Jobs known to the monitor, by state.");
    for (const auto& [state, count] : byState) out << "ipm_jobs{state=\"" << labelValue(state) << "\"} " << count << '\n';

    perJob(out, jobs, "ipm_job_messages_total", "counter", "Messages received from the job.", "messages");
    perJob(out, jobs, "ipm_job_warnings_total", "counter", "Warnings received from the job.", "warnings");
    perJob(out, jobs, "ipm_job_errors_total", "counter", "Errors received from the job.", "errors");
    perJob(out, jobs, "ipm_job_step", "gauge", "The job's latest step.", "step");
    perJob(out, jobs, "ipm_job_increment", "gauge", "The job's latest increment.", "increment");
    perJob(out, jobs, "ipm_job_time", "gauge", "The job's latest analysis time.", "time");
    family(out, "ipm_job_seconds_since_last_message", "gauge", "Seconds since the job's latest message.");
    for (const auto& job : jobs)
        if (job.value("lastMessage", nlohmann::ordered_json()).is_number())
            out << "ipm_job_seconds_since_last_message" << jobLabels(job) << ' '
                << static_cast<double>(now - job["lastMessage"].get<std::int64_t>()) / 1000 << '\n';

    for (const Counter& counter : listener) {
        family(out, counter.name, "counter", counter.help);
        out << counter.name << ' ' << counter.value << '\n';
    }
    return out.str();
}
