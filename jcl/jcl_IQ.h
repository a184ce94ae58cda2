#pragma once

#include "foundation/cow_String.h"
#include "jcl/jcl_Entity.h"

class jcl_Node;

// An info/query stanza covering account authorisation and registration.
// Internal: users meet it only as the jcl_Entity handed to a handler.
class jcl_IQ : public jcl_Entity {
public:
    jcl_IQ();
    // Reads an "iq" element; any other element yields an empty IQ.
    explicit jcl_IQ(const jcl_Node& node);
    ~jcl_IQ() override;

    cow_String GetKind() const override;
    cow_String Serialize() const override;

    cow_String queryNamespace;
    cow_String username;
    cow_String password;
    cow_String resource;
    cow_String name;
    cow_String error;
    int errorCode = 0;
    cow_String first;
    cow_String last;
    cow_String nick;
    cow_String email;

private:
    void ReadQuery(const jcl_Node& query);
};
