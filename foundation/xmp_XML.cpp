#include "foundation/xmp_XML.h"

#include <expat_config.h>  // tells whether the DTD safeguards are built in
#include <expat.h>

#include <new>
#include <random>
#include <string>

namespace {

// What the parser hands to its handlers: the caller's data and handlers, and
// the parser itself, so that a refused declaration can stop the parse.
struct Hooks {
    explicit Hooks(XML_Parser parser) : parser(parser) {}

    XML_Parser parser;
    void* userData = nullptr;
    xmp_XML_StartElementHandler start = nullptr;
    xmp_XML_EndElementHandler end = nullptr;
    xmp_XML_CharacterDataHandler characters = nullptr;
    bool doctypeRefused = false;
    std::string error;
};

Hooks& HooksOf(xmp_XML_Parser parser) { return *static_cast<Hooks*>(XML_GetUserData(parser)); }

void OnStart(void* hooks, const char* name, const char** attributes) {
    const Hooks& h = *static_cast<Hooks*>(hooks);
    if (h.start) h.start(h.userData, name, attributes);
}

void OnEnd(void* hooks, const char* name) {
    const Hooks& h = *static_cast<Hooks*>(hooks);
    if (h.end) h.end(h.userData, name);
}

void OnCharacters(void* hooks, const char* text, int length) {
    const Hooks& h = *static_cast<Hooks*>(hooks);
    if (h.characters) h.characters(h.userData, text, length);
}

// Entities can only be declared inside a document type declaration; refusing
// it keeps every entity reference down to one predefined character.
void RefuseDoctype(void* hooks, const char*, const char*, const char*, int) {
    Hooks& h = *static_cast<Hooks*>(hooks);
    h.doctypeRefused = true;
    XML_StopParser(h.parser, XML_FALSE);
}

// One secret salt for the parsers' hash tables, drawn once: a parser would
// otherwise ask the system for fresh random bytes each time.
unsigned long HashSalt() {
    static const unsigned long salt = [] {
        std::random_device random;
        // As wide as the platform's long: 64 bits on Linux, 32 on Windows.
        return static_cast<unsigned long>((static_cast<unsigned long long>(random()) << 32) ^ random());
    }();
    return salt;
}

// The hardening every parser gets, again after each reset.
void Harden(XML_Parser parser, Hooks* hooks) {
    XML_SetUserData(parser, hooks);
    XML_SetHashSalt(parser, HashSalt());
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetStartDoctypeDeclHandler(parser, RefuseDoctype);
    XML_SetElementHandler(parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser, OnCharacters);
    // Peer documents are small and need no entities of their own: stop any
    // expansion once it has produced more than a few kilobytes.
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser, 16 * 1024);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser, 10.0f);
}

}  // namespace

xmp_XML_Parser xmp_XML_ParserCreate(const char* encoding) {
    XML_Parser parser = XML_ParserCreate(encoding);
    if (!parser) return nullptr;
    Hooks* hooks = new (std::nothrow) Hooks(parser);
    if (!hooks) {
        XML_ParserFree(parser);
        return nullptr;
    }
    Harden(parser, hooks);
    return parser;
}

int xmp_XML_ParserReset(xmp_XML_Parser parser, const char* encoding) {
    Hooks* hooks = &HooksOf(parser);
    hooks->doctypeRefused = false;
    // A reset forgets the user data: the hooks are set again whatever it says.
    const bool reset = XML_ParserReset(parser, encoding) == XML_TRUE;
    Harden(parser, hooks);
    return reset ? 1 : 0;
}

void xmp_XML_SetUserData(xmp_XML_Parser parser, void* userData) { HooksOf(parser).userData = userData; }

void xmp_XML_SetElementHandler(xmp_XML_Parser parser, xmp_XML_StartElementHandler start,
                               xmp_XML_EndElementHandler end) {
    Hooks& hooks = HooksOf(parser);
    hooks.start = start;
    hooks.end = end;
}

void xmp_XML_SetCharacterDataHandler(xmp_XML_Parser parser, xmp_XML_CharacterDataHandler handler) {
    HooksOf(parser).characters = handler;
}

int xmp_XML_Parse(xmp_XML_Parser parser, const char* bytes, int length, int isFinal) {
    return XML_Parse(parser, bytes, length, isFinal) == XML_STATUS_OK ? 1 : 0;
}

const char* xmp_XML_ErrorText(xmp_XML_Parser parser) {
    Hooks& hooks = HooksOf(parser);
    if (hooks.doctypeRefused) return "document type declaration refused";
    hooks.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                  std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
                  std::to_string(XML_GetCurrentColumnNumber(parser) + 1);
    return hooks.error.c_str();
}

void xmp_XML_DisableReparseDeferral(xmp_XML_Parser parser) {
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 6)
    XML_SetReparseDeferralEnabled(parser, XML_FALSE);
#else
    (void)parser;
#endif
}

void xmp_XML_ParserFree(xmp_XML_Parser parser) {
    if (!parser) return;
    delete &HooksOf(parser);
    XML_ParserFree(parser);
}
