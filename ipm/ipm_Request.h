#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/ipm_export.h"

// One request from the listener to the job: a name the job offered, an
// optional value, and the listener's id, which the job's answer repeats.
// The job takes requests at its own safe point and answers each once.
//
// On the wire, listener to job, a request is one element
//   <request id="N" name="NAME" value="VALUE"/>
// (no value attribute when there is none): a line of its own on the direct
// connection, the extension content of a chat message on Jabber. Neither a
// name nor a value may hold "Kill", so no job, however old, can take a
// request for a kill.
struct IPM_EXPORT ipm_Request {
    enum class Outcome { Done = 0, Refused = 1, Failed = 2 };

    static constexpr size_t maxNameBytes = 32;
    static constexpr size_t maxValueBytes = 256;

    int id = 0;
    std::string name;
    std::string value;

    // A lowercase letter, then up to 31 of a-z, 0-9, "_" and "-".
    static bool ValidName(std::string_view name);
    // At most 256 bytes of UTF-8 without control characters or "Kill".
    static bool ValidValue(std::string_view value);
    // "done", "refused" or "failed".
    static const char* OutcomeText(Outcome outcome);

    // The element and a line feed.
    std::string Element() const;
    // The request an element's attributes give, when they give a valid one:
    // an id of 1 to 2147483647 in decimal digits, a valid name and value.
    static std::optional<ipm_Request> FromAttributes(std::string_view id, std::string_view name,
                                                     std::string_view value);
    // The request in `line`, one element as Element writes it, possibly
    // after bytes that are no element; nullopt for anything else.
    static std::optional<ipm_Request> Parse(std::string_view line);
};
