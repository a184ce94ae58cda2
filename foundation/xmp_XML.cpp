#include "foundation/xmp_XML.h"

#include <expat_config.h>  // tells whether the DTD safeguards are built in
#include <expat.h>

xmp_XML_Parser xmp_XML_ParserCreate(const char* encoding) {
    XML_Parser parser = XML_ParserCreate(encoding);
    if (!parser) return nullptr;
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    // Peer documents are small and need no entities of their own: stop any
    // expansion once it has produced more than a few kilobytes.
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser, 16 * 1024);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser, 10.0f);
    return parser;
}

void xmp_XML_SetUserData(xmp_XML_Parser parser, void* userData) { XML_SetUserData(parser, userData); }

void xmp_XML_SetElementHandler(xmp_XML_Parser parser, xmp_XML_StartElementHandler start,
                               xmp_XML_EndElementHandler end) {
    XML_SetElementHandler(parser, start, end);
}

void xmp_XML_SetCharacterDataHandler(xmp_XML_Parser parser, xmp_XML_CharacterDataHandler handler) {
    XML_SetCharacterDataHandler(parser, handler);
}

int xmp_XML_Parse(xmp_XML_Parser parser, const char* bytes, int length, int isFinal) {
    return XML_Parse(parser, bytes, length, isFinal) == XML_STATUS_OK ? 1 : 0;
}

void xmp_XML_DisableReparseDeferral(xmp_XML_Parser parser) {
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 6)
    XML_SetReparseDeferralEnabled(parser, XML_FALSE);
#else
    (void)parser;
#endif
}

void xmp_XML_ParserFree(xmp_XML_Parser parser) {
    if (parser) XML_ParserFree(parser);
}
