#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "csp/impl/csp_Host.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_module.h"
#include "csp/impl/csp_LocalHostCache.h"
#include "support/NetworkChecks.h"

namespace {
constexpr unsigned int hostOrder10_1_2_3 = 0x0a010203u;
const csp_IpAddress localhost(0x7f000001u);

std::string text(const cow_String& value) { return std::string(value.view()); }
}  // namespace

TEST(CspIpAddress, DottedTextIsParsedWithoutLookupAndOtherTextsAreHostNames) {
    EXPECT_EQ(text(csp_IpAddress(cow_String("10.1.2.3")).toString()), "IpAddress( 10.1.2.3 )");
    EXPECT_EQ(csp_IpAddress(cow_String("10.1.2.3")), csp_IpAddress(hostOrder10_1_2_3));
    EXPECT_EQ(static_cast<in_addr>(csp_IpAddress(hostOrder10_1_2_3)).s_addr, inet_addr("10.1.2.3"));
    EXPECT_FALSE(csp_IpAddress(cow_String("0.0.0.0")).isDefined());
    EXPECT_EQ(Printed(csp_IpAddress()), "IpAddress( ANY )");
    EXPECT_EQ(csp_IpAddress(cow_String("localhost")), localhost);
    // The resolver itself reads short dotted forms, but never as a dotted text here.
    EXPECT_EQ(csp_IpAddress(cow_String("10.1.2")), csp_Host(cow_String("10.1.2")).getAddresses()[0]);

    // A name with an empty label the resolver refuses without asking a name server.
    const std::pair<const char*, const char*> refused[] = {
        {"255.255.255.255", "invalid_address 0:"}, {"256.1.2.3", "invalid_address 0:"}, {"1..2.3", "invalid_address 0:"},
        {"10.1.2.3.4", "invalid_host 1:"},         {"10.1..3x", "invalid_host 1:"},      {"", "invalid_host 1:"}};
    for (const auto& [bad, error] : refused)
        EXPECT_EQ(RaisedBy([text = bad] { csp_IpAddress(cow_String(text)); }), error + std::string(bad));
}

TEST(CspSocketAddress, HoldsItsOwnRecordAndKeepsThePortIn16Bits) {
    EXPECT_FALSE(csp_SocketAddress(0).isDefined());
    EXPECT_EQ(csp_SocketAddress(0).getFamily(), AF_INET);
    EXPECT_TRUE(csp_SocketAddress(csp_IpAddress(), 80).isDefined());

    csp_SocketAddress address(csp_IpAddress(hostOrder10_1_2_3), 7000);
    EXPECT_EQ(Printed(address), "SocketAddress( IpAddress( 10.1.2.3 ), port 7000 )");
    const sockaddr_in record = address;
    EXPECT_EQ(record.sin_family, AF_INET);
    EXPECT_EQ(record.sin_port, htons(7000));
    EXPECT_EQ(record.sin_addr.s_addr, inet_addr("10.1.2.3"));

    address.setPort(70000);
    EXPECT_EQ(address.getPort(), 4464);
    csp_SocketAddress copy(address);
    copy.setPort(1);
    copy.setIpAddress(csp_IpAddress());
    EXPECT_EQ(text(address.toString()), "SocketAddress( IpAddress( 10.1.2.3 ), port 4464 )");

    sockaddr_in raw{};
    raw.sin_family = AF_INET;
    raw.sin_port = htons(5222);
    copy = raw;
    EXPECT_EQ(text(copy.toString()), "SocketAddress( IpAddress( ANY ), port 5222 )");
}

TEST(CspHost, LooksUpAndFillsFromAResolverEntry) {
    const csp_Host byName(cow_String("localhost"));
    EXPECT_EQ(byName.getName(), "localhost");
    ASSERT_GE(byName.getAddresses().Count(), 1);
    EXPECT_EQ(byName.getAddresses()[0], localhost);
    EXPECT_TRUE(csp_Host(localhost).isDefined());
    const std::string longLabel(64, 'a');
    EXPECT_EQ(RaisedBy([&] { csp_Host(cow_String(longLabel.c_str())); }), "invalid_host 1:" + longLabel);

    char name[] = "gateway";
    char alias[] = "gw";
    char* aliases[] = {alias, nullptr};
    in_addr first{inet_addr("10.1.2.3")};
    in_addr second{inet_addr("10.1.2.4")};
    char* addressList[] = {reinterpret_cast<char*>(&first), reinterpret_cast<char*>(&second), nullptr};
    const csp_Host host(hostent{name, aliases, AF_INET, sizeof(in_addr), addressList});
    name[0] = 'X';
    ASSERT_EQ(host.getAliases().Count(), 1);
    EXPECT_EQ(host.getAliases()[0], "gw");
    EXPECT_EQ(Printed(host), "Host( gateway, IpAddress( 10.1.2.3 ) IpAddress( 10.1.2.4 ) )");

    char* none[] = {nullptr};
    EXPECT_EQ(Printed(csp_Host(hostent{name, none, AF_INET, sizeof(in_addr), none})), "Host( Xateway, )");
    EXPECT_FALSE(csp_Host().isDefined());
    EXPECT_EQ(Printed(csp_Host()), "Host( network host is not defined )");
}

TEST(CspHost, ConcurrentLookupsEachGetTheirOwnAnswer) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 40; ++i) {
                const bool byName = (t + i) % 2 == 0;
                const csp_Host host = byName ? csp_Host(cow_String("localhost")) : csp_Host(localhost);
                if (host.getAddresses().Count() < 1 || !(host.getAddresses()[0] == localhost)) ++wrong;
                if (csp_IpAddress(cow_String("10.1.2.3")) != csp_IpAddress(hostOrder10_1_2_3)) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(CspModule, LastFinalizeReleasesTheLocalHostRecord) {
    int count = 0;
    csp_initialize(count);
    csp_initialize(count);
    EXPECT_EQ(count, 1);

    const csp_Host local = csp_Host::localHost();
    EXPECT_GE(local.getAddresses().Count(), 1);
    EXPECT_TRUE(csp_LocalHostCache::holdsRecord());

    csp_finalize(count);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(csp_LocalHostCache::holdsRecord());
    csp_finalize(count);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(csp_LocalHostCache::holdsRecord());

    // An unmatched finalize goes below zero without touching the caller's count.
    csp_finalize(count);
    csp_initialize(count);
    EXPECT_EQ(count, 0);
    csp_initialize(count);
    EXPECT_EQ(count, 1);
    csp_finalize(count);
    EXPECT_EQ(count, 0);
}
