#pragma once

#include "csp_SystemSockets.h"

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/aio_ostream.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// One IPv4 address, held in network byte order; 0 stands for any address.
class IPM_EXPORT csp_IpAddress {
public:
    // Dotted text (digits and exactly three points), or else a host name to
    // look up. Raises invalid_address for dotted text that does not parse and
    // invalid_host for a name the resolver does not know.
    explicit csp_IpAddress(const cow_String& text);
    // `value` in host byte order.
    explicit csp_IpAddress(unsigned int value = 0);
    // Taken as it stands (network byte order).
    csp_IpAddress(const in_addr& value);
    // Strictly dotted text ("10.1.2.3"), never looked up; nothing for any
    // other text.
    static std::optional<csp_IpAddress> fromDotted(const std::string& text);

    bool isDefined() const;
    operator in_addr() const;
    // "IpAddress( 10.1.2.3 )", or "IpAddress( ANY )" for address 0.
    cow_String toString() const;

    friend bool operator==(const csp_IpAddress&, const csp_IpAddress&) = default;

private:
    uint32_t address;
};

aio_ostream& operator<<(aio_ostream& stream, const csp_IpAddress& address);
