#include "jcl/jcl_LoginOptions.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "foundation/impl/utl_platform.h"

namespace {

const char* const passwordVariable = "IPM_JABBER_PASSWORD";
const char* const passwordFileVariable = "IPM_JABBER_PASSWORD_FILE";

std::string OptionOrEnvironment(std::string_view option, const char* variable) {
    if (!option.empty()) return std::string(option);
    const char* value = std::getenv(variable);
    return value ? value : "";
}

jcl_LoginOptions::Security ParseSecurity(const std::string& text) {
    if (text.empty() || text == "auto") return jcl_LoginOptions::Security::automatic;
    if (text == "tls") return jcl_LoginOptions::Security::tls;
    if (text == "legacy") return jcl_LoginOptions::Security::legacy;
    throw std::invalid_argument("jabber_security must be legacy, tls or auto, not \"" + text + "\"");
}

std::string ReadPasswordFile(const std::string& path) {
    const utl_FilePrivacy privacy = utl_filePrivacy(path);
    if (privacy == utl_FilePrivacy::unreadable) throw std::invalid_argument("cannot read the password file " + path);
    if (privacy == utl_FilePrivacy::shared) {
        throw std::invalid_argument("the password file " + path +
                                    " must belong to this user and be readable by nobody else (chmod 600)");
    }
    std::ifstream file(path);
    std::string password;
    if (!file || !std::getline(file, password)) throw std::invalid_argument("cannot read the password file " + path);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace

jcl_LoginOptions jcl_LoginOptions::Read(std::string_view securityOption, std::string_view caFileOption) {
    jcl_LoginOptions options;
    options.security = ParseSecurity(OptionOrEnvironment(securityOption, "IPM_JABBER_SECURITY"));
    options.caFile = OptionOrEnvironment(caFileOption, "IPM_JABBER_CA_FILE");
    if (const char* password = std::getenv(passwordVariable); password && *password) {
        options.password = password;
        options.passwordSource = passwordVariable;
    } else if (const char* path = std::getenv(passwordFileVariable); path && *path) {
        options.password = ReadPasswordFile(path);
        options.passwordSource = path;
    }
    return options;
}

bool jcl_LoginOptions::Secure() const {
    return security == Security::tls || (security == Security::automatic && password);
}

void jcl_LoginOptions::CheckPassword() const {
    if (password && !Secure()) {
        throw std::invalid_argument("the password from " + passwordSource +
                                    " is never sent in clear text: use jabber_security=tls or auto");
    }
    if (!password && Secure()) {
        throw std::invalid_argument(std::string("the secure login needs a password: set ") + passwordVariable +
                                    " or " + passwordFileVariable);
    }
}
