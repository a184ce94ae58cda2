#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "foundation/nex_TextException.h"

// What went wrong in the socket layer. Every kind has a name and a fixed
// message; kinds invalid_network, invalid_service, socket_path_exceeded and
// system_call_timout are never raised by the library itself.
enum csp_NetworkErrorKind : int {
    invalid_address = 0,
    invalid_host = 1,
    invalid_network = 2,
    invalid_service = 3,
    read_failed = 4,
    write_failed = 5,
    socket_path_exceeded = 6,
    eof_encountered = 7,
    system_call_failure = 8,
    system_call_timout = 9,
};

// The one exception type of the socket layer: a kind and a text.
class IPM_EXPORT csp_NetworkException : public nex_TextException {
public:
    csp_NetworkException(csp_NetworkErrorKind kind, const cow_String& text);
    ~csp_NetworkException() override;

    csp_NetworkErrorKind getKind() const;
    // The fixed message of this exception's kind.
    cow_String getKindMessage() const;

    [[noreturn]] void Propagate() const override;
    nex_Exception* Copy() const override;

private:
    csp_NetworkErrorKind kind;
};

// The enumerator's name; null for a value that is not a kind.
IPM_EXPORT const char* csp_getNetworkErrorName(int kind);
// The kind's fixed message; empty for a value that is not a kind.
IPM_EXPORT cow_String csp_getNetworkErrorMessage(int kind);
// Raises csp_NetworkException(kind, "<kind>:" + text).
[[noreturn]] IPM_EXPORT void csp_throwNetworkError(csp_NetworkErrorKind kind, const cow_String& text);
