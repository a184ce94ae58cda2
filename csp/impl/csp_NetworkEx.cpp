#include "csp/impl/csp_NetworkEx.h"

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/atr_translate.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_NetworkEx";
}

void csp_throwNetworkError(csp_NetworkErrorKind kind, const cow_String& text) {
    atr_translate prefix("%d:");
    atr_SubstituteFormat(prefix, 1, static_cast<int>(kind));
    atr_String result = prefix.Result();
    result += text;
    csp_NetworkException(kind, result).Throw(sourceFile, __LINE__);
}

void csp_raiseSystemCallFailure(const char* raisingFile, const char* text, int line) {
    // Handlers read the failed call's error code after catching.
    const int error = csp_SocketLayer::lastError();
    csp_NetworkException failure(system_call_failure, atr_translate(text).Result());
    csp_SocketLayer::setLastError(error);
    failure.Throw(raisingFile, line);
}
