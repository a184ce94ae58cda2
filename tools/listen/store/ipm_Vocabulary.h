#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

// The words the listener and its page share, defined here only: the page
// reads them as the module /static/vocabulary.js (ToJson()).
class ipm_Vocabulary {
public:
    // What a message's type says about the job.
    enum class Kind { error, warning, other };

    // A job's states (docs/lifecycle.md).
    static constexpr std::string_view running = "running";
    static constexpr std::string_view silent = "silent";
    static constexpr std::string_view finished = "finished";
    static constexpr std::string_view killed = "killed";
    static constexpr std::string_view stopped = "stopped";
    static constexpr std::string_view crashed = "crashed";
    static constexpr std::string_view unreachable = "unreachable";

    // How a job reached the listener; "file" is an imported log.
    static constexpr std::string_view direct = "direct";
    static constexpr std::string_view jabber = "jabber";
    static constexpr std::string_view file = "file";

    // An error when the type contains "error" or "fatal" (`FatalError`,
    // `error`), else a warning when it contains "warn", in any case of
    // letters; anything else is neither.
    static Kind KindOf(std::string_view type);

    // {"messageKinds":[{"word":W,"kind":K},..],
    //  "states":[{"name":S,"live":B[,"trouble":{"kind":K,"badge":TEXT}]},..],
    //  "transports":[{"name":T,"live":B},..]}
    static nlohmann::ordered_json ToJson();
};
