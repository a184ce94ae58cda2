#include "tools/listen/alert/ipm_Alert.h"

nlohmann::ordered_json ipm_Alert::ToJson() const {
    return {{"id", id},     {"job", job},       {"name", jobName}, {"host", host},
            {"rule", rule}, {"detail", detail}, {"time", time}};
}

std::string ipm_Alert::Line(const std::string& pageAddress) const {
    std::string line = "Job " + jobName + " (#" + std::to_string(job) + ")";
    if (!host.empty()) line += " on " + host;
    line += ": " + rule;
    if (!detail.empty() && detail != rule) line += ": " + detail;
    if (!pageAddress.empty()) line += " " + pageAddress + "#job=" + std::to_string(job);
    return line;
}
