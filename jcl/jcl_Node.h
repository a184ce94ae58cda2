#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/cow_1DArray.h"
#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_Map.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

class jcl_Node;
// The child arrays are compiled into the library and exported from it.
extern template class IPM_EXPORT cow_1DArray<jcl_Node>;
extern template class IPM_EXPORT cow_1DArrayList<jcl_Node>;

// One XML element: name, attributes, the character data directly inside it
// and its child elements, held by value. Copies share storage until written.
class IPM_EXPORT jcl_Node {
public:
    // Deepest nesting, counted from the root, that the library's tree
    // builders represent; deeper elements from a peer are dropped so that no
    // tree walk recurses without bound.
    static constexpr int maxBuiltDepth = 256;

    const cow_String& GetTagName() const;
    void SetTagName(const cow_String& name) { tagName = name; }

    void InsertAttribute(const cow_String& name, const cow_String& value);
    // The attribute's value; empty when the element lacks it.
    std::string Attribute(std::string_view name) const;
    // Inserts a parser's attribute list: name, value, ... ended by a null name.
    void InsertAttributeList(const char** pairs);

    // Appends a copy of `child` as the new last child.
    void Append(const jcl_Node& child);
    // Raises std::out_of_range unless 0 <= index < the child count.
    jcl_Node& GetChild(int index);
    // Follows child indices from this node; an empty path yields this node.
    jcl_Node& Traverse(const cow_1DArrayList<int>& path);

    // The element as XML text, text and attribute values escaped, a line feed
    // after each text and end tag; writes one diagnostic line per element to
    // aio_cout.
    cow_String Serialize() const;
    // "<name a=\"value\" ...>" with the attributes in key order, their values escaped.
    cow_String StartTag() const;

    // The tree of one whole XML document, parsed with the library's hardened
    // parser; empty, with `error` saying why, when it is not well-formed or
    // holds a document type declaration.
    static std::optional<jcl_Node> Parse(std::string_view document, std::string& error);

    cow_Map<cow_String, cow_String> attributes;
    cow_String tagName;
    bool isRoot = false;
    cow_1DArrayList<jcl_Node> children;
    cow_String text;
    // Not owning; set only by jcl_Stream, for the trees it hands over.
    jcl_Node* parent = nullptr;
};
