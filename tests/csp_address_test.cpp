#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_Host.h"
#include "support/NetworkChecks.h"

namespace {
const csp_IpAddress localhost(0x7f000001u);
}  // namespace

TEST(CspIpAddress, DottedTextIsParsedWithoutLookupAndOtherTextsAreHostNames) {
    EXPECT_EQ(Printed(csp_IpAddress(cow_String("10.1.2.3"))), "IpAddress( 10.1.2.3 )");
    EXPECT_EQ(static_cast<in_addr>(csp_IpAddress(0x0a010203u)).s_addr, inet_addr("10.1.2.3"));
    EXPECT_EQ(Printed(csp_IpAddress(cow_String("0.0.0.0"))), "IpAddress( ANY )");
    EXPECT_EQ(csp_IpAddress(cow_String("localhost")), localhost);
    // The resolver reads short dotted forms itself, never as a dotted text here.
    EXPECT_EQ(csp_IpAddress(cow_String("10.1.2")), csp_Host(cow_String("10.1.2")).getAddresses()[0]);
    // Names with an empty label the resolver refuses without asking a name server.
    const std::pair<const char*, const char*> refused[] = {
        {"255.255.255.255", "invalid_address 0:"}, {"256.1.2.3", "invalid_address 0:"}, {"1..2.3", "invalid_address 0:"},
        {"10.1.2.3.4", "invalid_host 1:"},         {"10.1..3x", "invalid_host 1:"},      {"", "invalid_host 1:"}};
    for (const auto& [bad, error] : refused)
        EXPECT_EQ(RaisedBy([text = bad] { csp_IpAddress(cow_String(text)); }), error + std::string(bad));
    // Strictly dotted: no name, no short form, nothing looked up.
    EXPECT_EQ(csp_IpAddress::fromDotted("10.1.2.3"), csp_IpAddress(0x0a010203u));
    for (const char* other : {"localhost", "10.1.2", "256.1.2.3", "10.1.2.3 ", ""})
        EXPECT_FALSE(csp_IpAddress::fromDotted(other).has_value()) << other;
}

TEST(CspSocketAddress, HoldsItsOwnRecordAndKeepsThePortIn16Bits) {
    EXPECT_FALSE(csp_SocketAddress(0).isDefined());
    csp_SocketAddress address(csp_IpAddress(0x0a010203u), 70000);
    const csp_SocketAddress copy(address);
    address.setPort(7000);
    const sockaddr_in record = address;
    EXPECT_EQ(record.sin_family, AF_INET);
    EXPECT_EQ(record.sin_port, htons(7000));
    EXPECT_EQ(Printed(copy), "SocketAddress( IpAddress( 10.1.2.3 ), port 4464 )");
}
