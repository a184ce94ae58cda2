#include "tools/listen/store/ipm_Vocabulary.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>

namespace {

using Json = nlohmann::ordered_json;

// Tried in this order: the first word the type contains names its kind.
struct KindWord {
    std::string_view word;
    ipm_Vocabulary::Kind kind;
    const char* kindName;
};
constexpr KindWord kindWords[] = {{"error", ipm_Vocabulary::Kind::error, "error"},
                                  {"fatal", ipm_Vocabulary::Kind::error, "error"},
                                  {"warn", ipm_Vocabulary::Kind::warning, "warning"}};

// `live`: the job is connected, and can be stopped. `trouble`: the badge a
// job in this state gets, of that kind, when it has no error messages.
struct State {
    std::string_view name;
    bool live;
    const char* troubleKind;
    const char* badge;
};
constexpr State states[] = {{ipm_Vocabulary::running, true, nullptr, nullptr},
                            {ipm_Vocabulary::silent, true, "warning", "needs a look: silent"},
                            {ipm_Vocabulary::finished, false, nullptr, nullptr},
                            {ipm_Vocabulary::killed, false, nullptr, nullptr},
                            {ipm_Vocabulary::stopped, false, nullptr, nullptr},
                            {ipm_Vocabulary::crashed, false, "error", "needs a look: crashed"},
                            {ipm_Vocabulary::unreachable, false, "error", "needs a look: unreachable"}};

// `live`: a connection, whose messages carry their arrival time; an
// imported log has neither.
struct Transport {
    std::string_view name;
    bool live;
};
constexpr Transport transports[] = {
    {ipm_Vocabulary::direct, true}, {ipm_Vocabulary::jabber, true}, {ipm_Vocabulary::file, false}};

}  // namespace

ipm_Vocabulary::Kind ipm_Vocabulary::KindOf(std::string_view type) {
    std::string lower(type);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto found = std::find_if(std::begin(kindWords), std::end(kindWords),
                                    [&lower](const KindWord& entry) { return lower.find(entry.word) != std::string::npos; });
    return found == std::end(kindWords) ? Kind::other : found->kind;
}

Json ipm_Vocabulary::ToJson() {
    Json kinds = Json::array();
    for (const KindWord& entry : kindWords) kinds.push_back({{"word", entry.word}, {"kind", entry.kindName}});
    Json stateList = Json::array();
    for (const State& state : states) {
        Json entry = {{"name", state.name}, {"live", state.live}};
        if (state.troubleKind) entry["trouble"] = {{"kind", state.troubleKind}, {"badge", state.badge}};
        stateList.push_back(entry);
    }
    Json transportList = Json::array();
    for (const Transport& transport : transports) {
        transportList.push_back({{"name", transport.name}, {"live", transport.live}});
    }
    return {{"messageKinds", kinds}, {"states", stateList}, {"transports", transportList}};
}
