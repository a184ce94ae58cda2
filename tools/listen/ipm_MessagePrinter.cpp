#include "tools/listen/ipm_MessagePrinter.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools/listen/store/ipm_TypedValue.h"

namespace {

using Json = nlohmann::ordered_json;

// The bytes a token cannot hold bare, looked up: every field's name and
// value is checked for them.
constexpr std::array<bool, 256> quotedBytes = [] {
    std::array<bool, 256> quoted{};
    for (int byte = 0; byte <= ' '; ++byte) quoted[byte] = true;
    quoted[0x7F] = quoted['"'] = quoted['\\'] = true;
    return quoted;
}();

bool needsQuotes(std::string_view text) {
    return text.empty() || std::ranges::any_of(text, [](unsigned char byte) { return quotedBytes[byte]; });
}

void appendControl(std::string& out, char c) {
    switch (c) {
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < ' ' || byte == 0x7F) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        out += hex;
    } else {
        out += c;
    }
}

void appendEscaped(std::string& out, char c) {
    if (c == '"' || c == '\\') out += '\\';
    appendControl(out, c);
}

// The document as received, on one line.
std::string asReceived(std::string_view document) {
    if (document.ends_with('\n')) document.remove_suffix(1);
    std::string line;
    line.reserve(document.size() + 1);
    for (const char c : document) appendControl(line, c);
    return line + "\n";
}

std::string dumpLine(const Json& json) {
    // Job names and unread documents may hold any bytes; JSON needs UTF-8.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// A token appended in place: a line is built without a string per field.
void appendToken(std::string& out, std::string_view text) {
    if (!needsQuotes(text)) {
        out.append(text);
        return;
    }
    out += '"';
    for (const char c : text) appendEscaped(out, c);
    out += '"';
}

std::string textLine(std::string_view job, const ipm_DocumentReader::Message& message) {
    std::string line;
    line.reserve(64 + 32 * message.fields.size());
    appendToken(line, job);
    line += ' ';
    appendToken(line, message.type);
    for (const auto& field : message.fields) {
        line += ' ';
        appendToken(line, field.name);
        line += '=';
        appendToken(line, field.value);
    }
    line += '\n';
    return line;
}

std::string jsonLine(std::string_view job, const ipm_DocumentReader::Message& message) {
    Json fields = Json::array();
    for (const auto& field : message.fields) {
        fields.push_back(
            {{"name", field.name}, {"type", field.type}, {"value", ipm_TypedValue::Of(field.type, field.value)}});
    }
    return dumpLine({{"job", job}, {"type", message.type}, {"fields", std::move(fields)}});
}

}  // namespace

ipm_MessagePrinter::ipm_MessagePrinter(Mode mode) : mode(mode) {}

ipm_MessagePrinter::Output ipm_MessagePrinter::Render(std::string_view job, std::string_view document) const {
    if (!NeedsMessage()) return Render(job, document, nullptr, {});
    std::string error;
    const auto message = ipm_DocumentReader::Read(document, error);
    return Render(job, document, message ? &*message : nullptr, error);
}

ipm_MessagePrinter::Output ipm_MessagePrinter::Render(std::string_view job, std::string_view document,
                                                      const ipm_DocumentReader::Message* message,
                                                      std::string_view error) const {
    if (mode == Mode::none) return {};
    if (mode == Mode::raw) return {Token(job) + " " + asReceived(document), {}};
    if (!message) {
        const std::string warning = std::string(error) + "; shown as received";
        if (mode == Mode::json) return {dumpLine({{"job", job}, {"raw", document}}), warning};
        return {Token(job) + " " + asReceived(document), warning};
    }
    return {mode == Mode::json ? jsonLine(job, *message) : textLine(job, *message), {}};
}

std::string ipm_MessagePrinter::JobText(std::string_view name) { return "job " + Token(name); }

std::string ipm_MessagePrinter::Token(std::string_view text) {
    std::string token;
    appendToken(token, text);
    return token;
}
