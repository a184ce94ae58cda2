// The message document builder with fuzzed message type, format string, job
// name, standing phase and values, under the direct and the Jabber settings.
// The value arrays hold exactly as many entries as the format consumes, so a
// builder that reads one more is caught. When every descriptor is a plain
// name=%letter, the document must equal one written here straight from the
// rules; otherwise at least its frame and standing context must be right.
// Under the Jabber settings every text of the document is compared after
// the replacement of what XML cannot carry, done here by decoding code points.

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/omi_AlertListener.h"
#include "foundation/utl_system.h"
#include "fuzz/support/fuzz_sink.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {

constexpr double largestFloat = 3.4028234663852886e38;

// One descriptor of the format as the rules split it; `letter` is 0 unless
// the text after the first "%" is exactly one of the ten conversion letters.
struct Field {
    std::string name;
    char letter = 0;
};

std::vector<Field> SplitFormat(std::string_view format) {
    std::vector<Field> fields;
    while (!format.empty()) {
        const size_t space = format.find(' ');
        const std::string_view descriptor = format.substr(0, space);
        format = space == std::string_view::npos ? std::string_view() : format.substr(space + 1);
        Field field{std::string(descriptor.substr(0, descriptor.find('=')))};
        const size_t percent = descriptor.find('%');
        if (percent != std::string_view::npos && descriptor.size() == percent + 2) {
            const char letter = descriptor[percent + 1];
            if (std::string_view("iIrRsSbBeE").find(letter) != std::string_view::npos)
                field.letter = static_cast<char>(letter | 0x20);
        }
        fields.push_back(field);
    }
    return fields;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string Escaped(std::string text) {
    ReplaceAll(text, "&", "&amp;");
    ReplaceAll(text, "<", "&lt;");
    ReplaceAll(text, ">", "&gt;");
    return text;
}

// Code point by code point: a well-formed UTF-8 sequence of a character XML
// 1.0 allows is kept, anything else costs one byte and becomes U+FFFD.
std::string XmlCharacters(std::string_view text) {
    std::string kept;
    size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const size_t length =
            lead < 0x80 ? 1 : lead >= 0xf8 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
        uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1f : length == 3 ? lead & 0x0f : lead & 0x07;
        bool valid = length != 0 && at + length <= text.size();
        for (size_t i = 1; valid && i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            valid = (next & 0xc0) == 0x80;
            code = code << 6 | (next & 0x3f);
        }
        const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= shortest[length] && code <= 0x10ffff && !(code >= 0xd800 && code <= 0xdfff) &&
                code != 0xfffe && code != 0xffff && (code >= 0x20 || code == 0x9 || code == 0xa || code == 0xd);
        if (valid) {
            kept.append(text.substr(at, length));
            at += length;
        } else {
            kept.append("\xef\xbf\xbd");
            ++at;
        }
    }
    return kept;
}

struct Values {
    explicit Values(const std::vector<Field>& fields, FuzzedDataProvider& input) {
        for (const Field& field : fields) {
            integerCount += field.letter == 'i';
            doubleCount += field.letter == 'r';
            textCount += field.letter == 's' || field.letter == 'b' || field.letter == 'e';
        }
        // Exactly sized heap arrays (never null, even when empty), so any
        // read past them is reported.
        integers.reset(new int[integerCount]);
        doubles.reset(new double[doubleCount]);
        texts.reset(new const char*[textCount]);
        for (size_t i = 0; i < integerCount; ++i) integers[i] = input.ConsumeIntegral<int>();
        for (size_t i = 0; i < doubleCount; ++i) doubles[i] = std::bit_cast<double>(input.ConsumeIntegral<uint64_t>());
        for (size_t i = 0; i < textCount; ++i) textStore.push_back(input.ConsumeRandomLengthString(64));
        for (size_t i = 0; i < textCount; ++i) texts[i] = textStore[i].c_str();
    }

    size_t integerCount = 0;
    size_t doubleCount = 0;
    size_t textCount = 0;
    std::unique_ptr<int[]> integers;
    std::unique_ptr<double[]> doubles;
    std::unique_ptr<const char*[]> texts;
    std::vector<std::string> textStore;
};

struct Variant {
    const ipm_MessageDocument& builder;
    std::vector<std::string_view> escapedNames;
    bool replacesOutOfRangeFloats;
    bool xmlCharactersOnly;

    std::string Text(std::string_view text) const {
        return xmlCharactersOnly ? XmlCharacters(text) : std::string(text);
    }
};

const Variant direct{ipm_MessageDocument::direct, {"heading", "stepName", "message", "file"}, true, false};
const Variant jabber{ipm_MessageDocument::jabber, {"heading", "stepName"}, false, true};

std::string FieldValue(const Variant& variant, const Field& field, const Values& values, size_t cursors[3]) {
    switch (field.letter) {
        case 'i': return std::string(cow_String(values.integers[cursors[0]++]).view());
        case 'r': {
            double value = values.doubles[cursors[1]++];
            if (variant.replacesOutOfRangeFloats && (std::isnan(value) || std::fabs(value) > largestFloat))
                value = largestFloat;
            return std::string(cow_String(value).view());
        }
        default: {
            std::string text = variant.Text(values.texts[cursors[2]++]);
            for (std::string_view name : variant.escapedNames)
                if (field.letter == 's' && field.name == name) return Escaped(text);
            return text;
        }
    }
}

std::string TypeAttribute(char letter) {
    switch (letter) {
        case 'i': return " type=\"integer\">";
        case 'r': return " type=\"float\">";
        case 's': return " type=\"string\">";
        case 'b': return " type=\"boolean\">";
        default: return " type=\"symconst\">";
    }
}

// Everything after the last field element.
std::string Context(const Variant& variant, bool phaseField, const std::string& phase, const std::string& jobName,
                    bool started, const std::string& type) {
    std::string tail;
    if (!phaseField) tail += "<phase type=\"symconst\">" + variant.Text(phase) + "</phase>";
    tail += "<jobName type=\"string\">" + variant.Text(jobName) + "</jobName>";
    if (started) {
        tail += "<clientHost type=\"string\">" + variant.Text(utl_getHostName().view()) + "</clientHost>";
        tail += "<handle type=\"integer\">" +
                std::string(cow_String(omi_Singleton<omi_AlertListener>::Instance().GetHandle()).view()) +
                "</handle>";
    }
    return tail + "</" + variant.Text(type) + ">\n";
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The text as the C interface sees it: up to its first zero byte.
std::string asCString(std::string text) {
    text.resize(std::strlen(text.c_str()));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const uint8_t flags = input.ConsumeIntegral<uint8_t>();
    const Variant& variant = flags & 1 ? direct : jabber;
    const bool started = flags & 2;
    const std::string phase = asCString(input.ConsumeRandomLengthString(16));
    const std::string jobName = asCString(input.ConsumeRandomLengthString(16));
    const std::string type = asCString(input.ConsumeRandomLengthString(32));
    const std::string format = asCString(input.ConsumeRandomLengthString(512));
    const std::vector<Field> fields = SplitFormat(format);
    const Values values(fields, input);

    ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    transmitter.SetCurrentPhase(cow_String(phase.c_str()));
    const cow_String built = variant.builder.Build(type.c_str(), format.c_str(), values.integers.get(),
                                                   values.doubles.get(), values.texts.get(), started,
                                                   cow_String(jobName.c_str()));
    const std::string_view document = built.view();
    fuzz_touch(document);

    bool phaseField = false;
    bool plain = true;
    for (const Field& field : fields) {
        phaseField = phaseField || field.name == "phase";
        plain = plain && field.letter && !field.name.empty();
    }
    const std::string tail = Context(variant, phaseField, phase, jobName, started, type);
    if (!document.starts_with("<" + variant.Text(type) + ">") || !EndsWith(document, tail)) std::abort();
    if (!phaseField && transmitter.CurrentPhase().view() != phase) std::abort();
    if (!plain) return 0;

    std::string expected = "<" + variant.Text(type) + ">";
    size_t cursors[3] = {0, 0, 0};
    for (const Field& field : fields) {
        const std::string name = variant.Text(field.name);
        expected += "<" + name;
        expected += TypeAttribute(field.letter);
        expected += FieldValue(variant, field, values, cursors);
        expected += "</" + name + ">";
    }
    if (document != expected + tail) std::abort();
    return 0;
}
