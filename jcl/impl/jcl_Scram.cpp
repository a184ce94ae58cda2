#include "jcl/impl/jcl_Scram.h"

#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>

#include "csp/csp_NetworkException.h"
#include "jcl/impl/jcl_Base64.h"

namespace {

constexpr int nonceBytes = 24;
// Far above what servers use, low enough that a hostile one cannot keep the
// job computing for minutes.
constexpr long maxIterations = 1'000'000;

[[noreturn]] void Refuse(const std::string& why) {
    throw csp_NetworkException(read_failed, cow_String(("the server's login challenge " + why).c_str()));
}

// RFC 5802 saslname: "=" and "," travel escaped.
std::string SaslName(std::string_view name) {
    std::string escaped;
    for (const char c : name) {
        if (c == '=')
            escaped += "=3D";
        else if (c == ',')
            escaped += "=2C";
        else
            escaped += c;
    }
    return escaped;
}

// The value of "key=" among the comma-separated attributes; empty when absent.
std::string_view Attribute(std::string_view message, char key) {
    while (!message.empty()) {
        const std::size_t comma = message.find(',');
        const std::string_view item = message.substr(0, comma);
        if (item.size() >= 2 && item[0] == key && item[1] == '=') return item.substr(2);
        if (comma == std::string_view::npos) break;
        message.remove_prefix(comma + 1);
    }
    return {};
}

std::string Xor(std::string left, const std::string& right) {
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = static_cast<char>(left[i] ^ right[i]);
    return left;
}

}  // namespace

jcl_Scram::jcl_Scram(const char* digest, std::string_view username, std::string_view password)
    : digest(digest), username(username), password(password) {}

std::string jcl_Scram::ClientFirst() {
    unsigned char random[nonceBytes];
    if (RAND_bytes(random, nonceBytes) != 1) throw csp_NetworkException(system_call_failure, "no random bytes");
    nonce = jcl_Base64::Encode(std::string_view(reinterpret_cast<const char*>(random), nonceBytes));
    clientFirstBare = "n=" + SaslName(username) + ",r=" + nonce;
    return "n,," + clientFirstBare;
}

std::string jcl_Scram::Hmac(const std::string& key, std::string_view text) const {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_get_digestbyname(digest), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, &length);
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string jcl_Scram::ClientFinal(std::string_view serverFirst) {
    const std::string_view serverNonce = Attribute(serverFirst, 'r');
    const std::optional<std::string> salt = jcl_Base64::Decode(Attribute(serverFirst, 's'));
    const std::string_view countText = Attribute(serverFirst, 'i');
    long iterations = 0;
    const auto parsed = std::from_chars(countText.data(), countText.data() + countText.size(), iterations);
    if (serverNonce.size() <= nonce.size() || serverNonce.substr(0, nonce.size()) != nonce)
        Refuse("does not extend our nonce");
    if (!salt || salt->empty()) Refuse("has no salt");
    if (parsed.ec != std::errc() || parsed.ptr != countText.data() + countText.size() || iterations < 1 ||
        iterations > maxIterations)
        Refuse("asks for " + std::string(countText) + " iterations");

    const EVP_MD* md = EVP_get_digestbyname(digest);
    std::string salted(static_cast<std::size_t>(EVP_MD_get_size(md)), '\0');
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char*>(salt->data()), static_cast<int>(salt->size()),
                      static_cast<int>(iterations), md, static_cast<int>(salted.size()),
                      reinterpret_cast<unsigned char*>(salted.data()));
    const std::string clientKey = Hmac(salted, "Client Key");
    std::string storedKey(salted.size(), '\0');
    unsigned int storedLength = 0;
    EVP_Digest(clientKey.data(), clientKey.size(), reinterpret_cast<unsigned char*>(storedKey.data()),
               &storedLength, md, nullptr);
    const std::string withoutProof = "c=biws,r=" + std::string(serverNonce);
    const std::string authMessage = clientFirstBare + "," + std::string(serverFirst) + "," + withoutProof;
    expectedServerSignature = Hmac(Hmac(salted, "Server Key"), authMessage);
    return withoutProof + ",p=" + jcl_Base64::Encode(Xor(clientKey, Hmac(storedKey, authMessage)));
}

bool jcl_Scram::VerifiesServer(std::string_view serverFinal) const {
    const std::optional<std::string> signature = jcl_Base64::Decode(Attribute(serverFinal, 'v'));
    return signature && !expectedServerSignature.empty() && signature->size() == expectedServerSignature.size() &&
           CRYPTO_memcmp(signature->data(), expectedServerSignature.data(), signature->size()) == 0;
}
