#include "jcl/impl/jcl_Base64.h"

#include <openssl/evp.h>

#include <climits>

namespace jcl_Base64 {

std::string Encode(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::optional<std::string> Decode(std::string_view text) {
    if (text.size() % 4 != 0 || text.size() > INT_MAX) return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded < 0) return std::nullopt;
    // The block decoder counts the padding as zero bytes.
    std::size_t padding = 0;
    for (auto at = text.rbegin(); at != text.rend() && *at == '=' && padding < 2; ++at) ++padding;
    bytes.resize(static_cast<std::size_t>(decoded) - padding);
    return bytes;
}

}  // namespace jcl_Base64
