#include "tools/listen/ingest/ipm_XmlEscape.h"

namespace {

std::string escaped(std::string_view text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += quotes ? "&quot;" : "\""; break;
            default: out += c; break;
        }
    }
    return out;
}

}  // namespace

std::string ipm_XmlEscape::Text(std::string_view text) { return escaped(text, false); }

std::string ipm_XmlEscape::Attribute(std::string_view value) { return escaped(value, true); }
