#pragma once

#include "csp_SystemSockets.h"

#include "csp/csp_IpAddress.h"
#include "foundation/aio_ostream.h"
#include "foundation/cow_1DArray.h"
#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_String.h"

extern template class IPM_EXPORT cow_1DArray<csp_IpAddress>;

// The result of a host lookup: official name, aliases and IPv4 addresses.
// Lookups may run on several threads at once.
class csp_Host {
public:
    // The undefined record.
    csp_Host();
    // Raise invalid_host when the resolver has no entry.
    explicit csp_Host(const cow_String& name);
    explicit csp_Host(const csp_IpAddress& ip);
    explicit csp_Host(const hostent& entry);

    bool isDefined() const;
    cow_String getName() const;
    const cow_1DArrayList<cow_String>& getAliases() const;
    const cow_1DArrayList<csp_IpAddress>& getAddresses() const;

    // The local machine's record, looked up once and kept until the socket
    // module's last user finalises. Raises invalid_host when the machine's
    // name does not resolve (and tries again next time).
    static csp_Host localHost();

    // "Host( name, IpAddress( .. ) IpAddress( .. ) )".
    cow_String toString() const;

private:
    cow_String name;
    cow_1DArrayList<cow_String> aliases;
    cow_1DArrayList<csp_IpAddress> addresses;
};

aio_ostream& operator<<(aio_ostream& stream, const csp_Host& host);
