#include "ipm/impl/ipm_MessageDocument.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/omi_AlertListener.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_DecimalText.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
constexpr std::string_view directEscapedNames[] = {"heading", "stepName", "message", "file"};
constexpr std::string_view jabberEscapedNames[] = {"heading", "stepName"};

// The largest finite single-precision value: the listener reads floats as such.
constexpr double largestFloat = 3.4028234663852886e38;

// Writers into storage with room for what they write and `slack` beyond:
// each returns the end of what it wrote.
constexpr size_t slack = 64;

// A text followed by readable bytes up to at least `padding`, copied in
// fixed blocks: a few moves instead of a call, and most runs take one block.
constexpr size_t padding = 32;
char* putPadded(char* out, const char* text, size_t count) {
    std::memcpy(out, text, padding);
    for (size_t done = padding; done < count; done += padding) std::memcpy(out + done, text + done, padding);
    return out + count;
}

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// The C library scans for the three characters many bytes at a time.
char* putEscaped(char* out, const char* text) {
    for (;;) {
        const size_t plain = std::strcspn(text, "&<>");
        out = put(out, std::string_view(text, plain));
        text += plain;
        if (*text == '\0') return out;
        out = put(out, *text == '&' ? std::string_view("&amp;") : *text == '<' ? std::string_view("&lt;") : std::string_view("&gt;"));
        ++text;
    }
}

// The same text as cow_String's numeric constructors: exact decimal
// integers, shortest round-trip doubles.
char* putNumber(char* out, long long value) { return std::to_chars(out, out + slack, value).ptr; }

char* putNumber(char* out, double value) { return ipm_writeDecimal(out, value); }

// The longest texts of the numbers, and what escaping can make of a character.
constexpr size_t integerRoom = 11;
constexpr size_t handleRoom = 10;
constexpr size_t floatRoom = 24;
constexpr size_t escapedGrowth = 5;

char lowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// One field descriptor of the format string: the name runs to the first "=",
// the conversion letter is the whole text after the first "%" when that is
// one character (0 otherwise).
struct Descriptor {
    std::string_view name;
    char letter = 0;
    size_t length;

    explicit Descriptor(std::string_view format) : length(find(format, ' ', format.size())) {
        name = format.substr(0, find(format, '=', length));
        const size_t percent = find(format, '%', length);
        if (length - percent == 2) letter = lowerCase(format[percent + 1]);
    }

    // The first `c` within the first `limit` characters; `limit` when absent.
    static size_t find(std::string_view text, char c, size_t limit) {
        const void* found = std::memchr(text.data(), c, limit);
        return found ? static_cast<size_t>(static_cast<const char*>(found) - text.data()) : limit;
    }
};

// What goes between two literal runs of a document.
enum class Slot : unsigned char {
    Integer,       // the next integer
    Float,         // the next double
    Text,          // the next text as it is
    EscapedText,   // the next text with "&", "<" and ">" escaped
    PhaseText,     // the next text, which becomes the current phase
    CurrentPhase,  // the transmitter's current phase
    JobName,
    ClientHost,
    Handle,
};

ipm_MessageTransmit& Transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }

// What one message fills in: the caller's arrays, read through cursors (a
// null array or text reads as 0 or the empty text), and the standing context.
struct MessageValues {
    const int* integers;
    const double* doubles;
    const char* const* texts;
    bool replacesOutOfRangeFloats;
    const cow_String& jobName;
    std::string_view phase;
    cow_String host;

    long long Integer(int cursor) const { return integers ? integers[cursor] : 0; }

    double Float(int cursor) const {
        const double value = doubles ? doubles[cursor] : 0.0;
        if (!replacesOutOfRangeFloats) return value;
        return std::isnan(value) || value > largestFloat || value < -largestFloat ? largestFloat : value;
    }

    const char* Text(int cursor) const {
        const char* text = texts ? texts[cursor] : nullptr;
        return text ? text : "";
    }
};

// The document of one message type and format string, worked out once: its
// literal runs (each field's closing tag fused with the next one's opening
// tag) and the values between them, so a message only copies runs and
// converts its values.
class DocumentTemplate {
public:
    // One pass over each text, which need not be measured first.
    bool Matches(const ipm_MessageDocument* document, const char* type, const char* format, bool started) const {
        return settings == document && withStartContext == started && std::strcmp(key.c_str(), type) == 0 &&
               std::strcmp(key.c_str() + typeLength + 1, format) == 0;
    }

    void Compile(const ipm_MessageDocument* document, std::span<const std::string_view> escapedNames,
                 std::string_view type, std::string_view format, bool started) {
        settings = document;
        withStartContext = started;
        typeLength = type.size();
        key.assign(type).append(1, '\0').append(format);
        literals.clear();
        pieces.clear();
        textLengths.clear();
        phaseCursor = -1;
        Literal("<", type, ">");
        const bool phaseField = Fields(format, escapedNames);
        hasCurrentPhase = !phaseField;
        if (hasCurrentPhase) Element("phase", " type=\"symconst\">", Slot::CurrentPhase);
        Element("jobName", " type=\"string\">", Slot::JobName);
        if (started) {
            Element("clientHost", " type=\"string\">", Slot::ClientHost);
            Element("handle", " type=\"integer\">", Slot::Handle);
        }
        Literal("</", type, ">\n");
        literalsLength = literals.size();
        literals.append(padding, '\0');
    }

    // Measures the longest the document can be, then writes it in place.
    cow_String Fill(const MessageValues& values) const {
        const size_t longest = Longest(values);
        if (phaseCursor >= 0) Transmitter().ReplaceCurrentPhase(Text(values, phaseCursor));
        return cow_String::Written(static_cast<int>(longest), [&](char* out) { return Write(out, values); });
    }

    bool HasCurrentPhase() const { return hasCurrentPhase; }
    bool HasStartContext() const { return withStartContext; }

private:
    struct Piece {
        size_t literalEnd;  // the run before the slot ends here
        Slot slot;
        int textCursor;     // of a text slot
    };

    std::string_view Text(const MessageValues& values, int cursor) const {
        return {values.Text(cursor), textLengths[static_cast<size_t>(cursor)]};
    }

    // Also measures the texts, once for both passes.
    size_t Longest(const MessageValues& values) const {
        size_t longest = literalsLength + slack;
        for (size_t cursor = 0; cursor < textLengths.size(); ++cursor) {
            textLengths[cursor] = std::strlen(values.Text(static_cast<int>(cursor)));
            longest += textLengths[cursor];
        }
        for (const Piece& piece : pieces) {
            switch (piece.slot) {
                case Slot::Integer: longest += integerRoom; break;
                case Slot::Float: longest += floatRoom; break;
                case Slot::Text:
                case Slot::PhaseText: break;
                case Slot::EscapedText: longest += (escapedGrowth - 1) * textLengths[piece.textCursor]; break;
                case Slot::CurrentPhase: longest += values.phase.size(); break;
                case Slot::JobName: longest += values.jobName.view().size(); break;
                case Slot::ClientHost: longest += values.host.view().size(); break;
                case Slot::Handle: longest += handleRoom; break;
            }
        }
        return longest;
    }

    char* Write(char* out, const MessageValues& values) const {
        int integerCursor = 0;
        int doubleCursor = 0;
        size_t literalStart = 0;
        for (const Piece& piece : pieces) {
            out = putPadded(out, literals.data() + literalStart, piece.literalEnd - literalStart);
            literalStart = piece.literalEnd;
            switch (piece.slot) {
                case Slot::Integer: out = putNumber(out, values.Integer(integerCursor++)); break;
                case Slot::Float: out = putNumber(out, values.Float(doubleCursor++)); break;
                case Slot::Text:
                case Slot::PhaseText: out = put(out, Text(values, piece.textCursor)); break;
                case Slot::EscapedText: out = putEscaped(out, values.Text(piece.textCursor)); break;
                case Slot::CurrentPhase: out = put(out, values.phase); break;
                case Slot::JobName: out = put(out, values.jobName.view()); break;
                case Slot::ClientHost: out = put(out, values.host.view()); break;
                case Slot::Handle:
                    out = putNumber(out, static_cast<long long>(omi_Singleton<omi_AlertListener>::Instance().GetHandle()));
                    break;
            }
        }
        return putPadded(out, literals.data() + literalStart, literalsLength - literalStart);
    }

    // Descriptors are separated by single spaces; an empty one (two spaces in
    // a row, or a trailing space) writes nothing. True when one is "phase".
    bool Fields(std::string_view format, std::span<const std::string_view> escapedNames) {
        bool phaseField = false;
        while (!format.empty()) {
            const Descriptor descriptor(format);
            if (descriptor.length != 0) phaseField = Field(descriptor, escapedNames) || phaseField;
            format.remove_prefix(std::min(descriptor.length + 1, format.size()));
        }
        return phaseField;
    }

    // An unknown letter consumes no value and leaves an empty element, so the
    // document stays well-formed for the listener's parser.
    bool Field(const Descriptor& descriptor, std::span<const std::string_view> escapedNames) {
        const std::string_view name = descriptor.name;
        const bool isPhase = name == "phase";
        const bool escaped = std::find(escapedNames.begin(), escapedNames.end(), name) != escapedNames.end();
        Literal("<", name, "");
        switch (descriptor.letter) {
            case 'i':
                Value(" type=\"integer\">", Slot::Integer);
                break;
            case 'r':
                Value(" type=\"float\">", Slot::Float);
                break;
            case 's':
                Value(" type=\"string\">", escaped ? Slot::EscapedText : Slot::Text);
                break;
            case 'b':
                Value(" type=\"boolean\">", Slot::Text);
                break;
            case 'e':
                Value(" type=\"symconst\">", isPhase ? Slot::PhaseText : Slot::Text);
                break;
            default:
                literals += '>';
        }
        Literal("</", name, ">");
        return isPhase;
    }

    void Element(std::string_view name, std::string_view typeAttribute, Slot slot) {
        Literal("<", name, "");
        Value(typeAttribute, slot);
        Literal("</", name, ">");
    }

    void Value(std::string_view typeAttribute, Slot slot) {
        literals += typeAttribute;
        const bool takesText = slot == Slot::Text || slot == Slot::EscapedText || slot == Slot::PhaseText;
        const int textCursor = takesText ? static_cast<int>(textLengths.size()) : -1;
        if (takesText) textLengths.push_back(0);
        if (slot == Slot::PhaseText) phaseCursor = textCursor;
        pieces.push_back({literals.size(), slot, textCursor});
    }

    void Literal(std::string_view before, std::string_view name, std::string_view after) {
        literals.append(before).append(name).append(after);
    }

    const ipm_MessageDocument* settings = nullptr;
    bool withStartContext = false;
    bool hasCurrentPhase = false;
    size_t typeLength = 0;
    std::string key;  // the type, a NUL and the format
    std::string literals;  // followed by the writer's padding
    size_t literalsLength = 0;
    std::vector<Piece> pieces;
    // The lengths of this message's texts, measured once per message; a
    // template belongs to one thread.
    mutable std::vector<size_t> textLengths;
    int phaseCursor = -1;  // the text that becomes the current phase, if any
};

// Each thread keeps the templates of the last few kinds of message it sent,
// so that a job's messages make their templates once.
class TemplateCache {
public:
    const DocumentTemplate& Get(const ipm_MessageDocument* document, std::span<const std::string_view> escapedNames,
                                const char* type, const char* format, bool started) {
        for (const DocumentTemplate& entry : entries)
            if (entry.Matches(document, type, format, started)) return entry;
        DocumentTemplate& replaced = entries[next];
        next = (next + 1) % entries.size();
        replaced.Compile(document, escapedNames, type, format, started);
        return replaced;
    }

private:
    std::array<DocumentTemplate, 8> entries;
    size_t next = 0;
};

thread_local TemplateCache templates;
}  // namespace

constinit const ipm_MessageDocument ipm_MessageDocument::direct{directEscapedNames, true};
constinit const ipm_MessageDocument ipm_MessageDocument::jabber{jabberEscapedNames, false};

cow_String ipm_MessageDocument::Build(const char* type, const char* format, const int* integers,
                                      const double* doubles, const char* const* texts, bool started,
                                      const cow_String& jobName) const {
    const DocumentTemplate& document = templates.Get(this, escapedNames, type ? type : "", format ? format : "", started);
    cow_String heldPhase;
    const std::string_view phase = document.HasCurrentPhase() ? Transmitter().CurrentPhase(heldPhase) : "";
    return document.Fill({integers, doubles, texts, replacesOutOfRangeFloats, jobName, phase,
                          document.HasStartContext() ? utl_getHostName() : cow_String()});
}
