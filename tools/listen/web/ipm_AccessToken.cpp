#include "tools/listen/web/ipm_AccessToken.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <stdexcept>

std::string ipm_AccessToken::Generate() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("cannot generate the access token");
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 0xF];
    }
    return token;
}

bool ipm_AccessToken::Matches(std::string_view expected, std::string_view given) {
    return !expected.empty() && given.size() == expected.size() &&
           CRYPTO_memcmp(expected.data(), given.data(), expected.size()) == 0;
}
