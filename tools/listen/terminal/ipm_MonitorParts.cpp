#include "tools/listen/ipm_MonitorParts.h"

#include <stdexcept>

// The terminal listener: what it receives goes to standard output alone.
namespace {
constexpr const char* absent =
    "this ipm-listen is the terminal listener: the history, the monitor's page and alerts "
    "are in the Linux build";
}  // namespace

struct ipm_MonitorParts::Parts {};

ipm_MonitorParts::ipm_MonitorParts(const ipm_ListenOptions& options, ipm_RequestBook&) {
    if (!options.database.empty() || !options.alerts.rules.empty() || options.alerts.Delivers())
        throw std::invalid_argument(absent);
}

ipm_MonitorParts::~ipm_MonitorParts() = default;

ipm_MonitorLink* ipm_MonitorParts::Link() const { return nullptr; }

void ipm_MonitorParts::Serve() {}

std::string ipm_MonitorParts::PageAddress() const { return ""; }

void ipm_MonitorParts::Started() {}

std::string ipm_MonitorParts::Import(const ipm_ListenOptions&) { throw std::invalid_argument(absent); }
