#include "csp/impl/csp_Host.h"

#include "csp_SystemSockets.h"

#include <cstring>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_LocalHostCache.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/atr_translate.h"

template class cow_1DArray<csp_IpAddress>;

namespace {
[[noreturn]] void raiseUnknownHost(const cow_String& shown) {
    atr_translate text("%s");
    atr_SubstituteFormat(text, 1, shown.text());
    csp_throwNetworkError(invalid_host, text.Result());
}

csp_Host lookUpName(const cow_String& name) {
    auto host = csp_SocketLayer::hostByName(name.text());
    if (!host) raiseUnknownHost(name);
    return *host;
}

csp_Host lookUpAddress(const csp_IpAddress& ip) {
    const in_addr address = ip;
    auto host = csp_SocketLayer::hostByAddress(address);
    if (!host) raiseUnknownHost(ip.toString());
    return *host;
}
}  // namespace

csp_Host::csp_Host() = default;

csp_Host::csp_Host(const cow_String& name) : csp_Host(lookUpName(name)) {}

csp_Host::csp_Host(const csp_IpAddress& ip) : csp_Host(lookUpAddress(ip)) {}

csp_Host::csp_Host(const hostent& entry) : name(entry.h_name) {
    for (char** alias = entry.h_aliases; alias && *alias; ++alias) aliases.Append(cow_String(*alias));
    if (entry.h_addrtype != AF_INET || entry.h_length != sizeof(in_addr)) return;
    for (char** raw = entry.h_addr_list; raw && *raw; ++raw) {
        in_addr address;
        std::memcpy(&address, *raw, sizeof address);
        addresses.Append(csp_IpAddress(address));
    }
}

bool csp_Host::isDefined() const { return !name.isEmpty(); }

cow_String csp_Host::getName() const { return name; }

const cow_1DArrayList<cow_String>& csp_Host::getAliases() const { return aliases; }

const cow_1DArrayList<csp_IpAddress>& csp_Host::getAddresses() const { return addresses; }

csp_Host csp_Host::localHost() { return csp_LocalHostCache::get(); }

cow_String csp_Host::toString() const {
    cow_String text("Host( ");
    if (isDefined()) {
        text += name;
        text.append(",");
        for (const csp_IpAddress& address : addresses) {
            text.append(" ");
            text += address.toString();
        }
    } else {
        text.append("network host is not defined");
    }
    return text.append(" )");
}

aio_ostream& operator<<(aio_ostream& stream, const csp_Host& host) { return stream << host.toString(); }
