#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// A message field's value as JSON, by the type its document gives it:
// integers and reals as numbers (a real that is not finite as "nan", "inf"
// or "-inf"), everything else, and a number that does not read, as text.
class ipm_TypedValue {
public:
    static nlohmann::ordered_json Of(std::string_view type, std::string_view value);
    // Appends the value as JSON text when it is a number (or a real that is
    // not finite), and gives it in `number`; false, with nothing appended, for text.
    static bool AppendNumber(std::string& out, std::string_view type, std::string_view value, double& number);
    // True when the value reads as a number of its type.
    static bool IsNumber(std::string_view type, std::string_view value);
    // The value when it reads as a number of its type (a real that is not
    // finite included), without building a JSON value for it.
    static std::optional<double> Number(std::string_view type, std::string_view value);
};
