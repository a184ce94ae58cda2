#pragma once

// Raises csp_NetworkException of kind system_call_failure with the fixed
// diagnostic `text`, recorded as raised in `sourceFile` at the caller's line.
[[noreturn]] void csp_raiseSystemCallFailure(const char* sourceFile, const char* text,
                                             int line = __builtin_LINE());
