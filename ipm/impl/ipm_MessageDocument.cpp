#include "ipm/impl/ipm_MessageDocument.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/impl/utl_platform.h"
#include "foundation/omi_AlertListener.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_DecimalText.h"
#include "ipm/ipm_DocumentRoom.h"
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

// Two fixed-size copies, overlapping, of the first and the last `block`
// bytes of a text of `block` to 2 * `block` bytes.
template <size_t block>
void putEnds(char* out, const char* text, size_t count) {
    char first[block];
    char last[block];
    std::memcpy(first, text, block);
    std::memcpy(last, text + count - block, block);
    std::memcpy(out, first, block);
    std::memcpy(out + count - block, last, block);
}

// Most texts of a message are short words: they are copied in a few moves,
// without reading past their end, instead of a call.
char* put(char* out, std::string_view text) {
    const size_t count = text.size();
    if (count >= 16 && count <= 32)
        putEnds<16>(out, text.data(), count);
    else if (count >= 8 && count < 16)
        putEnds<8>(out, text.data(), count);
    else if (count >= 4 && count < 8)
        putEnds<4>(out, text.data(), count);
    else
        std::memcpy(out, text.data(), count);
    return out + count;
}

std::string_view entity(char c) { return c == '&' ? "&amp;" : c == '<' ? "&lt;" : "&gt;"; }

// The C library scans for the three characters many bytes at a time.
size_t plainRun(const char* text) { return std::strcspn(text, "&<>"); }

// `plain`: the length of the text's first run without those characters.
char* putEscaped(char* out, const char* text, size_t plain) {
    for (;;) {
        out = put(out, std::string_view(text, plain));
        text += plain;
        if (*text == '\0') return out;
        out = put(out, entity(*text));
        plain = plainRun(++text);
    }
}

// The length of the character at `at` when it is well-formed UTF-8 that XML
// 1.0 can carry; 0 for a forbidden control character, U+FFFE, U+FFFF or a
// byte that does not begin a well-formed sequence.
size_t xmlCharacterLength(const unsigned char* at, const unsigned char* end) {
    const unsigned char lead = at[0];
    if (lead < 0x80) return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
    size_t length = 4;
    unsigned char low = 0x80, high = 0xbf;  // of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // overlong
        if (lead == 0xed) high = 0x9f;  // surrogates
    } else if (lead == 0xf0) {
        low = 0x90;  // overlong
    } else if (lead == 0xf4) {
        high = 0x8f;  // beyond U+10FFFF
    } else if (lead < 0xf1 || lead > 0xf3) {
        return 0;
    }
    if (static_cast<size_t>(end - at) < length || at[1] < low || at[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (at[i] < 0x80 || at[i] > 0xbf) return 0;
    if (lead == 0xef && at[1] == 0xbf && at[2] >= 0xbe) return 0;
    return length;
}

// What replaces a character XML cannot carry: the Jabber server ends a
// stream that holds one, and with it the job's messaging.
constexpr std::string_view replacementCharacter = "\xef\xbf\xbd";

// The text with only characters XML carries, and escaped when asked; plain
// runs are copied whole.
char* putXmlCharacters(char* out, std::string_view text, bool escaped) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = at + text.size();
    const auto* run = at;
    while (at < end) {
        const size_t length = xmlCharacterLength(at, end);
        const bool escapes = escaped && (*at == '&' || *at == '<' || *at == '>');
        if (length != 0 && !escapes) {
            at += length;
            continue;
        }
        out = put(out, std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(at - run)));
        out = put(out, escapes ? entity(static_cast<char>(*at)) : replacementCharacter);
        run = ++at;
    }
    return put(out, std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(end - run)));
}

char* putText(char* out, std::string_view text, bool xmlCharactersOnly) {
    return xmlCharactersOnly ? putXmlCharacters(out, text, false) : put(out, text);
}

// The same text as cow_String's numeric constructors: exact decimal
// integers, shortest round-trip doubles.
char* putNumber(char* out, long long value) { return std::to_chars(out, out + slack, value).ptr; }

char* putNumber(char* out, double value) { return ipm_writeDecimal(out, value); }

// The longest texts of the numbers, what escaping can make of a character
// and what the replacement can make of a byte.
constexpr size_t integerRoom = 11;
constexpr size_t handleRoom = 10;
constexpr size_t floatRoom = 24;
constexpr size_t escapedGrowth = 5;
constexpr size_t replacedGrowth = replacementCharacter.size();

[[noreturn, gnu::cold]] void tooLong() {
    cow_String::CheckedLength(cow_String::maxLength + 1, 0, 0, "the message document");
    std::abort();
}

// Checked at every step, so the sum never wraps: each term stays far below
// 2^64 once its count is at most maxLength.
void grow(uint64_t& length, size_t count, size_t each) {
    if (count > cow_String::maxLength) tooLong();
    length += static_cast<uint64_t>(count) * each;
    if (length > cow_String::maxLength) tooLong();
}

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
    bool xmlCharactersOnly;
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
                 bool xmlCharactersOnly, std::string_view type, std::string_view format, bool started) {
        settings = document;
        namesXmlCharactersOnly = xmlCharactersOnly;
        withStartContext = started;
        typeLength = type.size();
        key.assign(type).append(1, '\0').append(format);
        literals.clear();
        pieces.clear();
        textLengths.clear();
        plainLengths.clear();
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
        const size_t longest = Prepare(values);
        return cow_String::Written(longest, [&](char* out) { return Write(out, values); });
    }

    // The same into the room the caller gives.
    std::string_view FillInto(ipm_DocumentRoom& room, const MessageValues& values) const {
        char* start = room.Reserve(Prepare(values));
        const char* end = Write(start, values);
        return {start, static_cast<size_t>(end - start)};
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

    size_t Prepare(const MessageValues& values) const {
        const size_t longest = Longest(values);
        if (phaseCursor >= 0) Transmitter().ReplaceCurrentPhase(Text(values, phaseCursor));
        return longest;
    }

    size_t Measure(const MessageValues& values, int cursor) const {
        return textLengths[static_cast<size_t>(cursor)] = std::strlen(values.Text(cursor));
    }

    // A text to escape is measured by the scan for its first character to
    // escape, which most often finds the end.
    size_t MeasureEscaped(const MessageValues& values, int cursor) const {
        if (values.xmlCharactersOnly) return Measure(values, cursor);
        const char* text = values.Text(cursor);
        const size_t plain = plainRun(text);
        plainLengths[static_cast<size_t>(cursor)] = plain;
        return textLengths[static_cast<size_t>(cursor)] =
                   text[plain] == '\0' ? plain : plain + std::strlen(text + plain);
    }

    // Also measures the texts, once for both passes. Checked: the texts'
    // lengths are the caller's.
    size_t Longest(const MessageValues& values) const {
        const size_t textGrowth = values.xmlCharactersOnly ? replacedGrowth : 1;
        uint64_t longest = literalsLength + slack;
        for (const Piece& piece : pieces) {
            switch (piece.slot) {
                case Slot::Integer: grow(longest, 1, integerRoom); break;
                case Slot::Float: grow(longest, 1, floatRoom); break;
                case Slot::Text:
                case Slot::PhaseText: grow(longest, Measure(values, piece.textCursor), textGrowth); break;
                case Slot::EscapedText: grow(longest, MeasureEscaped(values, piece.textCursor), escapedGrowth); break;
                case Slot::CurrentPhase: grow(longest, values.phase.size(), textGrowth); break;
                case Slot::JobName: grow(longest, values.jobName.view().size(), textGrowth); break;
                case Slot::ClientHost: grow(longest, values.host.view().size(), textGrowth); break;
                case Slot::Handle: grow(longest, 1, handleRoom); break;
            }
        }
        return static_cast<size_t>(longest);
    }

    char* Write(char* out, const MessageValues& values) const {
        const bool xmlOnly = values.xmlCharactersOnly;
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
                case Slot::PhaseText: out = putText(out, Text(values, piece.textCursor), xmlOnly); break;
                case Slot::EscapedText:
                    out = xmlOnly ? putXmlCharacters(out, Text(values, piece.textCursor), true)
                                  : putEscaped(out, values.Text(piece.textCursor),
                                               plainLengths[static_cast<size_t>(piece.textCursor)]);
                    break;
                case Slot::CurrentPhase: out = putText(out, values.phase, xmlOnly); break;
                case Slot::JobName: out = putText(out, values.jobName.view(), xmlOnly); break;
                case Slot::ClientHost: out = putText(out, values.host.view(), xmlOnly); break;
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
        if (takesText) {
            textLengths.push_back(0);
            plainLengths.push_back(0);
        }
        if (slot == Slot::PhaseText) phaseCursor = textCursor;
        pieces.push_back({literals.size(), slot, textCursor});
    }

    // The message type and field names are the caller's texts too.
    void Literal(std::string_view before, std::string_view name, std::string_view after) {
        literals.append(before);
        if (namesXmlCharactersOnly) {
            std::string replaced(name.size() * replacedGrowth, '\0');
            replaced.resize(static_cast<size_t>(putXmlCharacters(replaced.data(), name, false) - replaced.data()));
            literals.append(replaced);
        } else {
            literals.append(name);
        }
        literals.append(after);
    }

    const ipm_MessageDocument* settings = nullptr;
    bool namesXmlCharactersOnly = false;
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
    mutable std::vector<size_t> plainLengths;  // of the texts to escape: their first run to copy as it is
    int phaseCursor = -1;  // the text that becomes the current phase, if any
};

// Each thread keeps the templates of the last few kinds of message it sent,
// so that a job's messages make their templates once.
class TemplateCache {
public:
    // The last one used is tried first, inline: a job sends the same kind
    // of message many times in a row.
    const DocumentTemplate& Get(const ipm_MessageDocument* document, std::span<const std::string_view> escapedNames,
                                bool xmlCharactersOnly, const char* type, const char* format, bool started) {
        if (entries[last].Matches(document, type, format, started)) [[likely]]
            return entries[last];
        return Find(document, escapedNames, xmlCharactersOnly, type, format, started);
    }

private:
    const DocumentTemplate& Find(const ipm_MessageDocument* document, std::span<const std::string_view> escapedNames,
                                 bool xmlCharactersOnly, const char* type, const char* format, bool started) {
        for (last = 0; last < entries.size(); ++last)
            if (entries[last].Matches(document, type, format, started)) return entries[last];
        last = next;
        next = (next + 1) % entries.size();
        entries[last].Compile(document, escapedNames, xmlCharactersOnly, type, format, started);
        return entries[last];
    }

    std::array<DocumentTemplate, 8> entries;
    size_t last = 0;  // the entry the last message used
    size_t next = 0;  // the entry the next new kind of message replaces
};

// The cache is too large for the initial-exec model: each thread reaches it
// through a pointer that is.
thread_local TemplateCache templateStore;
IPM_INITIAL_EXEC_TLS thread_local TemplateCache* threadTemplates = nullptr;

TemplateCache& templates() {
    if (!threadTemplates) [[unlikely]] threadTemplates = &templateStore;
    return *threadTemplates;
}
}  // namespace

constinit const ipm_MessageDocument ipm_MessageDocument::direct{directEscapedNames, true, false};
constinit const ipm_MessageDocument ipm_MessageDocument::jabber{jabberEscapedNames, false, true};

template <class Fill>
auto ipm_MessageDocument::Filled(const char* type, const char* format, const int* integers, const double* doubles,
                                 const char* const* texts, bool started, const cow_String& jobName,
                                 Fill fill) const {
    const DocumentTemplate& document =
        templates().Get(this, escapedNames, xmlCharactersOnly, type ? type : "", format ? format : "", started);
    cow_String heldPhase;
    const std::string_view phase = document.HasCurrentPhase() ? Transmitter().CurrentPhase(heldPhase) : "";
    return fill(document, MessageValues{integers, doubles, texts, replacesOutOfRangeFloats, xmlCharactersOnly,
                                        jobName, phase, document.HasStartContext() ? utl_getHostName() : cow_String()});
}

cow_String ipm_MessageDocument::Build(const char* type, const char* format, const int* integers,
                                      const double* doubles, const char* const* texts, bool started,
                                      const cow_String& jobName) const {
    return Filled(type, format, integers, doubles, texts, started, jobName,
                  [](const DocumentTemplate& document, const MessageValues& values) { return document.Fill(values); });
}

std::string_view ipm_MessageDocument::BuildInto(ipm_DocumentRoom& room, const char* type, const char* format,
                                                const int* integers, const double* doubles, const char* const* texts,
                                                bool started, const cow_String& jobName) const {
    return Filled(
        type, format, integers, doubles, texts, started, jobName,
        [&](const DocumentTemplate& document, const MessageValues& values) { return document.FillInto(room, values); });
}
