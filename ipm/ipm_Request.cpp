#include "ipm/ipm_Request.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "foundation/xmp_XML.h"
#include "jcl/jcl_XmlWriter.h"

namespace {

constexpr std::string_view killWord = "Kill";

bool nameCharacter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'; }

// Well-formed UTF-8 without C0 or C1 controls or DEL.
bool plainUtf8(std::string_view text) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = at + text.size();
    while (at < end) {
        const unsigned char lead = *at;
        const int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
        if (length == 0 || end - at < length) return false;
        if (length == 1 && (lead < 0x20 || lead == 0x7f)) return false;
        if (length == 2 && (lead < 0xc2 || (lead == 0xc2 && at[1] < 0xa0))) return false;
        for (int i = 1; i < length; ++i)
            if ((at[i] & 0xc0) != 0x80) return false;
        at += length;
    }
    return true;
}

// Collects the attributes of the first element named "request".
struct Found {
    bool seen = false;
    bool element = false;
    std::string id, name, value;
};

void onStart(void* data, const char* tag, const char** attributes) {
    auto& found = *static_cast<Found*>(data);
    if (found.seen) return;
    found.seen = true;
    found.element = std::strcmp(tag, "request") == 0;
    for (const char** pair = attributes; found.element && pair[0]; pair += 2) {
        const std::string_view key = pair[0];
        if (key == "id") found.id = pair[1];
        else if (key == "name") found.name = pair[1];
        else if (key == "value") found.value = pair[1];
    }
}

void onEnd(void*, const char*) {}

}  // namespace

bool ipm_Request::ValidName(std::string_view name) {
    if (name.empty() || name.size() > maxNameBytes || name.front() < 'a' || name.front() > 'z') return false;
    return std::ranges::all_of(name, nameCharacter);
}

bool ipm_Request::ValidValue(std::string_view value) {
    return value.size() <= maxValueBytes && plainUtf8(value) && value.find(killWord) == std::string_view::npos;
}

const char* ipm_Request::OutcomeText(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done: return "done";
        case Outcome::Refused: return "refused";
        case Outcome::Failed: return "failed";
    }
    return "failed";
}

std::string ipm_Request::Element() const {
    std::string element = "<request";
    jcl_XmlWriter::AppendAttribute(element, "id", std::to_string(id));
    jcl_XmlWriter::AppendAttribute(element, "name", name);
    if (!value.empty()) jcl_XmlWriter::AppendAttribute(element, "value", value);
    element += "/>\n";
    return element;
}

std::optional<ipm_Request> ipm_Request::FromAttributes(std::string_view id, std::string_view name,
                                                       std::string_view value) {
    ipm_Request request;
    const bool digits = !id.empty() && id.size() <= 10 && id.find_first_not_of("0123456789") == std::string_view::npos;
    long long number = 0;
    if (!digits || std::from_chars(id.data(), id.data() + id.size(), number).ec != std::errc() || number < 1 ||
        number > 2147483647LL)
        return std::nullopt;
    if (!ValidName(name) || !ValidValue(value)) return std::nullopt;
    request.id = static_cast<int>(number);
    request.name = name;
    request.value = value;
    return request;
}

std::optional<ipm_Request> ipm_Request::Parse(std::string_view line) {
    const size_t start = line.find("<request");
    if (start == std::string_view::npos) return std::nullopt;
    line.remove_prefix(start);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    Found found;
    xmp_XML_Parser parser = xmp_XML_ParserCreate("UTF-8");
    if (!parser) return std::nullopt;
    xmp_XML_SetUserData(parser, &found);
    xmp_XML_SetElementHandler(parser, onStart, onEnd);
    const bool wellFormed = xmp_XML_Parse(parser, line.data(), static_cast<int>(line.size()), 1) == 1;
    xmp_XML_ParserFree(parser);
    if (!wellFormed || !found.element) return std::nullopt;
    return FromAttributes(found.id, found.name, found.value);
}
