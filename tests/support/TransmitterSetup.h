#pragma once

#include <stdlib.h>

#include <string>
#include <vector>

#include "foundation/utl_CommandLine.h"
#include "ipm/ipm_MessageTransmit.h"

inline void UseOptions(const std::vector<std::string>& options) {
    thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(options);
}

// The transmitter reads its command line and environment once, when it is
// created, so each case starts a new one. A null cap leaves its variable unset.
inline ipm_MessageTransmit& RestartTransmitter(const std::vector<std::string>& options,
                                               const char* maxErrors = nullptr, const char* maxWarnings = nullptr) {
    ipm_MessageTransmit::DestroyInstance();
    UseOptions(options);
    const auto setOrUnset = [](const char* variable, const char* value) {
        if (value)
            setenv(variable, value, 1);
        else
            unsetenv(variable);
    };
    setOrUnset("MAX_ERROR_MESSAGES", maxErrors);
    setOrUnset("MAX_WARNING_MESSAGES", maxWarnings);
    return thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
}

// The documents waiting in the buffer, oldest first.
inline std::vector<std::string> BufferedDocuments() {
    ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    std::lock_guard buffer(transmitter.BufferLock());
    std::vector<std::string> documents;
    for (const cow_String& document : transmitter.MessageBuffer()) documents.emplace_back(document.view());
    return documents;
}
