#include "ipm/ipm_MessageDocument.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "foundation/omi_AlertListener.h"
#include "foundation/utl_system.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
constexpr std::string_view directEscapedNames[] = {"heading", "stepName", "message", "file"};
constexpr std::string_view jabberEscapedNames[] = {"heading", "stepName"};

// The largest finite single-precision value: the listener reads floats as such.
constexpr double largestFloat = 3.4028234663852886e38;

// Collects the document in a local buffer (on the heap only when it outgrows
// it), so the result is allocated once, at its final size.
class Writer {
public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void Put(std::string_view text) {
        if (text.size() > static_cast<size_t>(limit - at)) Grow(text.size());
        std::memcpy(at, text.data(), text.size());
        at += text.size();
    }

    void Put(char c) {
        if (at == limit) Grow(1);
        *at++ = c;
    }

    // The same text as cow_String's numeric constructors (exact decimal
    // integers, shortest round-trip doubles), without a string per field.
    template <class Number>
    void PutNumber(Number value) {
        char digits[32];
        const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        Put(std::string_view(digits, static_cast<size_t>(end - digits)));
    }

    void PutEscaped(std::string_view text) {
        size_t plain = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c != '&' && c != '<' && c != '>') continue;
            Put(text.substr(plain, i - plain));
            Put(c == '&' ? std::string_view("&amp;") : c == '<' ? std::string_view("&lt;") : std::string_view("&gt;"));
            plain = i + 1;
        }
        Put(text.substr(plain));
    }

    cow_String Result() const { return cow_String(start, static_cast<int>(at - start)); }

private:
    void Grow(size_t needed) {
        const size_t used = static_cast<size_t>(at - start);
        const size_t capacity = std::max(2 * static_cast<size_t>(limit - start), used + needed);
        std::unique_ptr<char[]> larger(new char[capacity]);
        std::memcpy(larger.get(), start, used);
        heap = std::move(larger);
        start = heap.get();
        at = start + used;
        limit = start + capacity;
    }

    char local[2048];
    std::unique_ptr<char[]> heap;
    char* start = local;
    char* at = local;
    char* limit = local + sizeof local;
};

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

// One message being written: the three cursors over the value arrays and
// what the fields said about the phase.
class DocumentBuilder {
public:
    DocumentBuilder(std::span<const std::string_view> escapedNames, bool replacesOutOfRangeFloats,
                    const int* integers, const double* doubles, const char* const* texts)
        : escapedNames(escapedNames), replacesOutOfRangeFloats(replacesOutOfRangeFloats), integers(integers),
          doubles(doubles), texts(texts) {}

    void Open(std::string_view type) {
        out.Put('<');
        out.Put(type);
        out.Put('>');
    }

    // Descriptors are separated by single spaces; an empty one (two spaces in
    // a row, or a trailing space) writes nothing.
    void Fields(std::string_view format) {
        while (!format.empty()) {
            const Descriptor descriptor(format);
            if (descriptor.length != 0) WriteField(descriptor);
            format.remove_prefix(std::min(descriptor.length + 1, format.size()));
        }
    }

    // Without a "phase" field the standing phase is repeated; with one, the
    // field's value becomes the standing phase.
    void Phase() {
        ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
        if (!phaseField) {
            const cow_String phase = transmitter.CurrentPhase();
            Element("phase", " type=\"symconst\">", phase.view());
        } else if (newPhase) {
            transmitter.ReplaceCurrentPhase(newPhase);
        }
    }

    void Context(const cow_String& jobName, bool started) {
        Element("jobName", " type=\"string\">", jobName.view());
        if (!started) return;
        Element("clientHost", " type=\"string\">", utl_getHostName().view());
        out.Put("<handle type=\"integer\">");
        out.PutNumber(omi_Singleton<omi_AlertListener>::Instance().GetHandle());
        out.Put("</handle>");
    }

    cow_String Close(std::string_view type) {
        out.Put("</");
        out.Put(type);
        out.Put(">\n");
        return out.Result();
    }

private:
    // An unknown letter consumes no value and leaves an empty element, so the
    // document stays well-formed for the listener's parser.
    void WriteField(const Descriptor& descriptor) {
        const std::string_view name = descriptor.name;
        const bool isPhase = name == "phase";
        phaseField = phaseField || isPhase;
        out.Put('<');
        out.Put(name);
        switch (descriptor.letter) {
            case 'i':
                out.Put(" type=\"integer\">");
                out.PutNumber(integers ? integers[integerCursor] : 0);
                ++integerCursor;
                break;
            case 'r':
                out.Put(" type=\"float\">");
                out.PutNumber(Representable(doubles ? doubles[doubleCursor] : 0.0));
                ++doubleCursor;
                break;
            case 's':
                out.Put(" type=\"string\">");
                if (IsEscaped(name))
                    out.PutEscaped(NextText());
                else
                    out.Put(NextText());
                break;
            case 'b':
                out.Put(" type=\"boolean\">");
                out.Put(NextText());
                break;
            case 'e': {
                out.Put(" type=\"symconst\">");
                const char* value = NextText();
                if (isPhase) newPhase = value;
                out.Put(value);
                break;
            }
            default:
                out.Put('>');
        }
        out.Put("</");
        out.Put(name);
        out.Put('>');
    }

    void Element(std::string_view name, std::string_view typeAttribute, std::string_view value) {
        out.Put('<');
        out.Put(name);
        out.Put(typeAttribute);
        out.Put(value);
        out.Put("</");
        out.Put(name);
        out.Put('>');
    }

    const char* NextText() {
        const char* text = texts ? texts[textCursor] : nullptr;
        ++textCursor;
        return text ? text : "";
    }

    bool IsEscaped(std::string_view name) const {
        return std::find(escapedNames.begin(), escapedNames.end(), name) != escapedNames.end();
    }

    double Representable(double value) const {
        if (!replacesOutOfRangeFloats) return value;
        return std::isnan(value) || value > largestFloat || value < -largestFloat ? largestFloat : value;
    }

    Writer out;
    std::span<const std::string_view> escapedNames;
    bool replacesOutOfRangeFloats;
    const int* integers;
    const double* doubles;
    const char* const* texts;
    int integerCursor = 0;
    int doubleCursor = 0;
    int textCursor = 0;
    bool phaseField = false;
    const char* newPhase = nullptr;
};
}  // namespace

constinit const ipm_MessageDocument ipm_MessageDocument::direct{directEscapedNames, true};
constinit const ipm_MessageDocument ipm_MessageDocument::jabber{jabberEscapedNames, false};

cow_String ipm_MessageDocument::Build(const char* type, const char* format, const int* integers,
                                      const double* doubles, const char* const* texts, bool started,
                                      const cow_String& jobName) const {
    const std::string_view root(type ? type : "");
    DocumentBuilder builder(escapedNames, replacesOutOfRangeFloats, integers, doubles, texts);
    builder.Open(root);
    builder.Fields(format ? format : "");
    builder.Phase();
    builder.Context(jobName, started);
    return builder.Close(root);
}
