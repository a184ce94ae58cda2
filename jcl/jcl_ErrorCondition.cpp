#include "jcl/jcl_ErrorCondition.h"

#include "jcl/jcl_Node.h"

namespace {
std::string Text(const cow_String& text) { return std::string(text.view()); }
}  // namespace

std::string jcl_ErrorCondition::Of(const jcl_Node& error) {
    std::string condition;
    std::string text;
    for (const jcl_Node& child : error.children) {
        if (child.tagName == "error") return Of(child);
        if (child.tagName == "text")
            text = Text(child.text);
        else if (condition.empty())
            condition = Text(child.tagName);
    }
    // Old servers give a code and a text of the error element itself.
    if (condition.empty() && error.attributes.IsMember("code")) {
        condition = Text(error.attributes.ConstGet("code"));
        text = Text(error.text);
    }
    if (!text.empty()) condition += (condition.empty() ? "" : ": ") + text;
    return condition.empty() ? "no reason given" : condition;
}
