#pragma once

#include <string>

#include "foundation/ipm_export.h"

class jcl_Node;

// Why a server refused: the defined condition of a stanza's error, a stream
// error or a login failure, for messages.
class IPM_EXPORT jcl_ErrorCondition {
public:
    // The first child's name other than "text" (inside the "error" child of
    // a stanza), with the text when there is one; else an old-style error's
    // code and text; else "no reason given".
    static std::string Of(const jcl_Node& error);
};
