#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "jcl/jcl_Entity.h"

class jcl_Node;

// A presence stanza. The priority is read but never written.
class IPM_EXPORT jcl_Presence : public jcl_Entity {
public:
    jcl_Presence();
    // Reads a "presence" element; any other element yields an empty presence.
    explicit jcl_Presence(const jcl_Node& node);
    ~jcl_Presence() override;

    cow_String GetKind() const override;
    cow_String Serialize() const override;

    cow_String status;
    cow_String show;
    int priority = 0;
};
