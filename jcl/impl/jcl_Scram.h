#pragma once

#include <string>
#include <string_view>

// The client's side of one SCRAM exchange (SHA-1 or SHA-256), without
// channel binding. Messages are the raw texts; the caller encodes them for
// the wire with jcl_Base64.
class jcl_Scram {
public:
    // `digest` is "SHA-1" or "SHA-256".
    jcl_Scram(const char* digest, std::string_view username, std::string_view password);

    // The first message, with a fresh random nonce.
    std::string ClientFirst();
    // The answer to the server's challenge. Throws csp_NetworkException when
    // the challenge is malformed, does not extend our nonce or asks for an
    // unreasonable iteration count.
    std::string ClientFinal(std::string_view serverFirst);
    // The server proved that it knows the password.
    bool VerifiesServer(std::string_view serverFinal) const;

private:
    std::string Hmac(const std::string& key, std::string_view text) const;

    const char* digest;
    std::string username;
    std::string password;
    std::string clientFirstBare;
    std::string nonce;
    std::string expectedServerSignature;
};
