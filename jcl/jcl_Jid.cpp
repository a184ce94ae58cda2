#include "jcl/jcl_Jid.h"

std::optional<jcl_Jid> jcl_Jid::Parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view account = text.substr(0, slash);
    const std::size_t at = account.rfind('@');
    if (at == std::string_view::npos || at + 1 == account.size()) return std::nullopt;
    jcl_Jid jid;
    jid.user = account.substr(0, at);
    jid.server = account.substr(at + 1);
    if (slash != std::string_view::npos) jid.resource = text.substr(slash + 1);
    return jid;
}

std::string jcl_Jid::Format() const { return Bare() + "/" + resource; }

std::string jcl_Jid::Bare() const { return user + "@" + server; }
