#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/ipm_export.h"

// A Jabber address, USER@SERVER/RESOURCE. The resource begins at the first
// "/" and runs to the end, so it may hold "@" and "/"; the user part ends at
// the last "@" before it.
struct IPM_EXPORT jcl_Jid {
    // Empty when the text has no "@" before its resource or no server.
    static std::optional<jcl_Jid> Parse(std::string_view text);

    // USER@SERVER/RESOURCE, every part as it is, even when empty.
    std::string Format() const;
    // USER@SERVER.
    std::string Bare() const;

    std::string user;
    std::string server;
    std::string resource;
};
