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
