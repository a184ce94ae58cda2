#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/ipm_export.h"

// How a Jabber client of this project logs in, shared by the job's transport
// and the listener so that both read the same settings the same way:
// - the flow, "jabber_security" (else IPM_JABBER_SECURITY): "legacy",
//   "tls" or "auto" (the default: the secure login when a password was
//   supplied, else the legacy one);
// - the trusted authorities, "jabber_ca_file" (else IPM_JABBER_CA_FILE):
//   one PEM file, the system's store when empty;
// - the password: IPM_JABBER_PASSWORD, else the first line of the file that
//   IPM_JABBER_PASSWORD_FILE names, which only its owner may read.
struct IPM_EXPORT jcl_LoginOptions {
    enum class Security { legacy, tls, automatic };

    // Command-line values win over the environment; empty means not given.
    // Throws std::invalid_argument with a one-line reason for an unknown flow,
    // an unreadable password file or one that others may read.
    static jcl_LoginOptions Read(std::string_view securityOption, std::string_view caFileOption);

    // The secure login is to be used: "tls", or "auto" with a password.
    bool Secure() const;
    // Throws std::invalid_argument when a password was supplied but the
    // flow is the legacy one, which would send it in clear text, or when the
    // secure flow has no password.
    void CheckPassword() const;

    Security security = Security::automatic;
    std::string caFile;
    std::optional<std::string> password;
    // Where the password came from, for messages.
    std::string passwordSource;
};
