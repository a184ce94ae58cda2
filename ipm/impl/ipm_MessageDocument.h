#pragma once

#include <span>
#include <string>
#include <string_view>

#include "foundation/cow_String.h"

class ipm_DocumentRoom;

// The XML text of one message: a root element named after the message type,
// one typed element per field of the format string, then the job's standing
// context (phase, job name and, for the start message, client host and
// handle). The transports differ in which string fields they escape, in
// whether out-of-range floats are replaced, and in whether characters XML
// cannot carry are replaced; `direct` and `jabber` hold their settings.
class ipm_MessageDocument {
public:
    constexpr ipm_MessageDocument(std::span<const std::string_view> escapedNames, bool replacesOutOfRangeFloats,
                                  bool xmlCharactersOnly)
        : escapedNames(escapedNames),
          replacesOutOfRangeFloats(replacesOutOfRangeFloats),
          xmlCharactersOnly(xmlCharactersOnly) {}

    // Reads, and with a "phase" field replaces, the transmitter's current
    // phase. Each array must hold as many entries as the format consumes; a
    // null array or text reads as 0 or the empty text. With
    // `xmlCharactersOnly`, every control character XML 1.0 forbids and every
    // byte that is not part of well-formed UTF-8 becomes U+FFFD, anywhere in
    // the document. Throws std::length_error, and builds nothing, when the
    // document could be longer than cow_String::maxLength.
    cow_String Build(const char* type, const char* format, const int* integers, const double* doubles,
                     const char* const* texts, bool started, const cow_String& jobName) const;

    // Build into `room`, asked once for room for the longest the document
    // can be; the view is valid while the room is.
    std::string_view BuildInto(ipm_DocumentRoom& room, const char* type, const char* format, const int* integers,
                               const double* doubles, const char* const* texts, bool started,
                               const cow_String& jobName) const;

    static const ipm_MessageDocument direct;
    static const ipm_MessageDocument jabber;

private:
    // Finds the message's template and values, and hands both to `fill`.
    template <class Fill>
    auto Filled(const char* type, const char* format, const int* integers, const double* doubles,
                const char* const* texts, bool started, const cow_String& jobName, Fill fill) const;

    std::span<const std::string_view> escapedNames;
    bool replacesOutOfRangeFloats;
    bool xmlCharactersOnly;
};
