#include "csp/csp_IpAddress.h"

#include "csp_SystemSockets.h"

#include <algorithm>

#include "csp/impl/csp_Host.h"
#include "csp/csp_NetworkException.h"
#include "foundation/atr_translate.h"

namespace {
// Digits and points only, with exactly three points; anything else is a name.
bool isDottedText(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || c == '.'; }) &&
           std::ranges::count(text, '.') == 3;
}

uint32_t parseDotted(const cow_String& text) {
    const in_addr_t parsed = ::inet_addr(text.text());
    if (parsed == INADDR_NONE) {
        atr_translate shown("%s");
        atr_SubstituteFormat(shown, 1, text.text());
        csp_throwNetworkError(invalid_address, shown.Result());
    }
    return parsed;
}

uint32_t firstAddressOf(const cow_String& name) {
    const csp_Host host(name);
    if (!host.isDefined() || host.getAddresses().IsEmpty()) return 0;
    return static_cast<in_addr>(host.getAddresses()[0]).s_addr;
}
}  // namespace

csp_IpAddress::csp_IpAddress(const cow_String& text)
    : address(isDottedText(text.view()) ? parseDotted(text) : firstAddressOf(text)) {}

csp_IpAddress::csp_IpAddress(unsigned int value) : address(htonl(value)) {}

csp_IpAddress::csp_IpAddress(const in_addr& value) : address(value.s_addr) {}

std::optional<csp_IpAddress> csp_IpAddress::fromDotted(const std::string& text) {
    in_addr parsed{};
    if (!isDottedText(text) || ::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return std::nullopt;
    return csp_IpAddress(parsed);
}

bool csp_IpAddress::isDefined() const { return address != 0; }

csp_IpAddress::operator in_addr() const {
    in_addr value{};
    value.s_addr = address;
    return value;
}

cow_String csp_IpAddress::toString() const {
    cow_String text("IpAddress( ");
    if (isDefined()) {
        char dotted[INET_ADDRSTRLEN];
        const in_addr value = *this;
        text.append(::inet_ntop(AF_INET, &value, dotted, sizeof dotted));
    } else {
        text.append("ANY");
    }
    return text.append(" )");
}

aio_ostream& operator<<(aio_ostream& stream, const csp_IpAddress& address) { return stream << address.toString(); }
