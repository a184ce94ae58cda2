#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "jcl/jcl_Entity.h"
#include "jcl/jcl_Node.h"

// A message stanza. Its payload travels in the extension element "x" of the
// report namespace, unescaped: a job's document appears there as elements.
class IPM_EXPORT jcl_Message : public jcl_Entity {
public:
    // The namespace of the extension element that carries reports and requests.
    static constexpr const char* reportNamespace = "kelvane:msg";
    // The text of a listener's request that a job stop, whatever the transport.
    static constexpr const char* killRequest = "Kill";


    jcl_Message();
    // Reads a "message" element; any other element yields an empty message.
    explicit jcl_Message(const jcl_Node& node);
    ~jcl_Message() override;

    void SetSubject(const cow_String& text);
    void SetBody(const cow_String& text);
    void SetX(const cow_String& content);

    cow_String GetKind() const override;
    cow_String Serialize() const override;

    cow_String subject;
    cow_String body;
    cow_String error;
    // Outgoing: the text inside the extension element. Incoming: every
    // received extension element in serialised form, one after the other.
    cow_String x;
    // Incoming: the received extension elements themselves, their attribute
    // values unescaped.
    cow_1DArrayList<jcl_Node> xElements;
    int errorCode = 0;

private:
    IPM_HIDDEN void AppendXNode(const jcl_Node& node);
};
