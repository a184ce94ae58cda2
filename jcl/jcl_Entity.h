#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

class jcl_Node;

// Common base of the stanzas: the four addressing attributes. Users meet it
// as the stanza handed to a connection's handlers. Only its type information
// is exported; its operations are internal to the library.
class IPM_EXPORT jcl_Entity {
public:
    jcl_Entity() = default;
    virtual ~jcl_Entity() = default;

    virtual cow_String GetKind() const = 0;
    virtual cow_String Serialize() const = 0;

    // Appends to, from, type and id, in that order, each only when not empty,
    // their values escaped.
    IPM_HIDDEN void SerializeAttributes(cow_String& xml) const;

    cow_String from;
    cow_String to;
    cow_String id;
    cow_String type;

protected:
    jcl_Entity(const jcl_Entity&) = default;
    jcl_Entity& operator=(const jcl_Entity&) = default;

    // Copies those of to, from, id and type that the node has.
    IPM_HIDDEN void ReadAddressing(const jcl_Node& node);

    // "<tag>value</tag>", the value escaped, only when it is not empty.
    IPM_HIDDEN static void AppendElement(cow_String& xml, const char* tag, const cow_String& value);
    // "<error code=\"code\">error</error>", the text escaped, only when it is not empty.
    IPM_HIDDEN static void AppendError(cow_String& xml, const cow_String& error, int code);
    // The attribute's value; empty when the node lacks it.
    IPM_HIDDEN static cow_String AttributeOf(const jcl_Node& node, const char* name);
    // The text's leading decimal integer (leading blanks and a sign allowed),
    // 0 without digits, clamped to the range of int.
    IPM_HIDDEN static int LeadingInteger(const cow_String& text);
};
