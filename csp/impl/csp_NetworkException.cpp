#include "csp/csp_NetworkException.h"

#include <array>

#include "foundation/atr_translate.h"

namespace {
struct KindText {
    const char* name;
    const char* message;
};

constexpr std::array<KindText, 10> kindTexts{{
    {"invalid_address", "An unknown or invalid address was supplied."},
    {"invalid_host", "Unknown or invalid host name was supplied."},
    {"invalid_network", "An invalid network name was supplied."},
    {"invalid_service", "An invalid service name was supplied."},
    {"read_failed", "A read operation failed."},
    {"write_failed", "A write operation failed."},
    {"socket_path_exceeded", "File path exceeded the system limit."},
    {"eof_encountered", "An end of file marker was detected while reading from a stream."},
    {"system_call_failure", "The operating system reported a failure during a system call."},
    {"system_call_timout", "The call made to the operating system has timed out."},
}};

bool isKind(int kind) { return kind >= 0 && kind < static_cast<int>(kindTexts.size()); }
}  // namespace

csp_NetworkException::csp_NetworkException(csp_NetworkErrorKind kind, const cow_String& text)
    : nex_TextException(text), kind(kind) {}

csp_NetworkException::~csp_NetworkException() = default;

csp_NetworkErrorKind csp_NetworkException::getKind() const { return kind; }

cow_String csp_NetworkException::getKindMessage() const { return csp_getNetworkErrorMessage(kind); }

void csp_NetworkException::Propagate() const { throw *this; }

nex_Exception* csp_NetworkException::Copy() const { return new csp_NetworkException(*this); }

const char* csp_getNetworkErrorName(int kind) { return isKind(kind) ? kindTexts[kind].name : nullptr; }

cow_String csp_getNetworkErrorMessage(int kind) {
    if (!isKind(kind)) return cow_String();
    return atr_translate(kindTexts[kind].message).Result();
}
