#pragma once

#include <string>
#include <string_view>

// Escapes for writing text into XML built by concatenation.
class ipm_XmlEscape {
public:
    // "&", "<" and ">" as entity references.
    static std::string Text(std::string_view text);
    // The same and '"', for a value set in double quotes.
    static std::string Attribute(std::string_view value);
};
