#include "ipm/impl/ipm_DeliverySettings.h"

#include <cerrno>
#include <cstdlib>

namespace {
// The variable's decimal value when it is a whole number from `least` to
// `most`; `fallback` otherwise.
long long fromEnvironment(const char* variable, long long least, long long most, long long fallback) {
    const char* text = std::getenv(variable);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno || *end || value < least || value > most) return fallback;
    return value;
}
}  // namespace

ipm_DeliverySettings ipm_DeliverySettings::FromEnvironment() {
    ipm_DeliverySettings settings;
    settings.sendInterval = milliseconds(fromEnvironment("IPM_SEND_INTERVAL_MS", 0, 60000, 50));
    settings.networkTimeout = milliseconds(fromEnvironment("IPM_NETWORK_TIMEOUT_MS", 100, 600000, 10000));
    settings.maxBacklogBytes = static_cast<size_t>(fromEnvironment("IPM_MAX_BACKLOG_MB", 1, 1 << 20, 64)) << 20;
    settings.writeDocuments = static_cast<size_t>(fromEnvironment("IPM_WRITE_DOCUMENTS", 0, 1 << 30, 0));
    return settings;
}
