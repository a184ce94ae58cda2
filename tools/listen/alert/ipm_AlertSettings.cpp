#include "tools/listen/alert/ipm_AlertSettings.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace {

void addTexts(const nlohmann::json& file, const char* key, std::vector<std::string>& to) {
    if (!file.contains(key)) return;
    for (const auto& text : file.at(key)) to.push_back(text.get<std::string>());
}

}  // namespace

void ipm_AlertSettings::AddFile(const std::string& path) {
    std::ifstream input(path);
    if (!input) throw std::invalid_argument("--alerts: cannot read \"" + path + "\"");
    try {
        const nlohmann::json file = nlohmann::json::parse(input);
        for (const auto& rule : file.value("rules", nlohmann::json::array())) rules.push_back(ipm_AlertRule::FromJson(rule));
        addTexts(file, "webhooks", webhooks);
        addTexts(file, "notify", accounts);
        addTexts(file, "rooms", rooms);
    } catch (const std::exception& error) {
        throw std::invalid_argument("--alerts \"" + path + "\": " + error.what());
    }
}

void ipm_AlertSettings::DefaultRulesWhenNone() {
    if (!rules.empty() || !Delivers()) return;
    for (const char* rule : {"crashed", "silent", "error", "nonfinite"}) rules.push_back(ipm_AlertRule::FromOption(rule));
}
