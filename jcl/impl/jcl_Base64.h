#pragma once

#include <optional>
#include <string>
#include <string_view>

// Base64 as SASL carries it, through OpenSSL's coder.
namespace jcl_Base64 {
std::string Encode(std::string_view bytes);
// Empty optional when the text is not canonical base64.
std::optional<std::string> Decode(std::string_view text);
}  // namespace jcl_Base64
