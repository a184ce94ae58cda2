#pragma once

#include "foundation/ipm_export.h"

// The callback XML parser (Expat underneath). Documents come from network
// peers, so parsers are created hardened: no external entities are ever
// loaded, entity expansion stays bounded and a document type declaration
// stops the parse as an error.
typedef struct XML_ParserStruct* xmp_XML_Parser;
typedef void (*xmp_XML_StartElementHandler)(void* userData, const char* name, const char** attributes);
typedef void (*xmp_XML_EndElementHandler)(void* userData, const char* name);
typedef void (*xmp_XML_CharacterDataHandler)(void* userData, const char* text, int length);

// A new parser; null when memory is short.
IPM_EXPORT xmp_XML_Parser xmp_XML_ParserCreate(const char* encoding);
IPM_EXPORT void xmp_XML_SetUserData(xmp_XML_Parser parser, void* userData);
IPM_EXPORT void xmp_XML_SetElementHandler(xmp_XML_Parser parser, xmp_XML_StartElementHandler start,
                                          xmp_XML_EndElementHandler end);
IPM_EXPORT void xmp_XML_SetCharacterDataHandler(xmp_XML_Parser parser, xmp_XML_CharacterDataHandler handler);
// 1 on success, 0 on a syntax error. `isFinal` 0 feeds a stream in pieces.
IPM_EXPORT int xmp_XML_Parse(xmp_XML_Parser parser, const char* bytes, int length, int isFinal);
// Why the parse failed, for messages; valid until the next call or the
// parser's end.
IPM_EXPORT const char* xmp_XML_ErrorText(xmp_XML_Parser parser);
// Hands each piece on at once instead of waiting for more input before
// reparsing a large token; a no-op where the parser has no such deferral.
IPM_EXPORT void xmp_XML_DisableReparseDeferral(xmp_XML_Parser parser);
// Ready for a new document in `encoding`, hardened as new, with its handlers
// and user data kept: cheaper than a new parser for many small documents.
// 1 on success, 0 when memory is short (the parser is then only fit to be
// freed).
IPM_EXPORT int xmp_XML_ParserReset(xmp_XML_Parser parser, const char* encoding);
IPM_EXPORT void xmp_XML_ParserFree(xmp_XML_Parser parser);
