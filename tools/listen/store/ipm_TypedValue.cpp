#include "tools/listen/store/ipm_TypedValue.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace {

template <class Number>
bool readWhole(std::string_view text, Number& number) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    return !text.empty() && error == std::errc() && stop == end;
}

// A number's text as JSON writes one, short enough to go into the JSON as
// it came: the double it reads as is the same, and writing it afresh would
// cost more than the rest of the message.
bool plainJsonNumber(std::string_view text) {
    constexpr std::size_t longest = 24;
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at > from;
    };
    const auto skip = [&](char c) { return at < text.size() && text[at] == c && ++at; };
    if (text.size() > longest) return false;
    skip('-');
    if (!skip('0') && !digits()) return false;
    if (skip('.') && !digits()) return false;
    if (skip('e') || skip('E')) {
        if (!skip('+')) skip('-');
        if (!digits()) return false;
    }
    return at == text.size();
}

nlohmann::ordered_json real(double number) {
    if (std::isnan(number)) return "nan";
    if (std::isinf(number)) return number > 0 ? "inf" : "-inf";
    return number;
}

}  // namespace

bool ipm_TypedValue::AppendNumber(std::string& out, std::string_view type, std::string_view value, double& number) {
    std::int64_t integer = 0;
    if (type == "integer" && readWhole(value, integer)) {
        char text[24];
        out.append(text, std::to_chars(text, text + sizeof text, integer).ptr);
        number = static_cast<double>(integer);
    } else if (type == "float" && readWhole(value, number)) {
        if (!std::isfinite(number)) {
            out += real(number).dump();
            return true;
        }
        if (plainJsonNumber(value)) {
            out.append(value);
            return true;
        }
        // As the JSON library writes a number, without building a value for it.
        char text[64];
        out.append(text, nlohmann::detail::to_chars(text, text + sizeof text, number));
    } else {
        return false;
    }
    return true;
}

bool ipm_TypedValue::IsNumber(std::string_view type, std::string_view value) { return Number(type, value).has_value(); }

std::optional<double> ipm_TypedValue::Number(std::string_view type, std::string_view value) {
    std::int64_t integer = 0;
    double number = 0;
    if (type == "integer" && readWhole(value, integer)) return static_cast<double>(integer);
    if (type == "float" && readWhole(value, number)) return number;
    return std::nullopt;
}

nlohmann::ordered_json ipm_TypedValue::Of(std::string_view type, std::string_view value) {
    if (type == "integer") {
        std::int64_t number = 0;
        if (readWhole(value, number)) return number;
    } else if (type == "float") {
        double number = 0;
        if (readWhole(value, number)) return real(number);
    }
    return std::string(value);
}
