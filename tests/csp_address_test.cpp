#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_Host.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_module.h"
#include "csp/impl/csp_LocalHostCache.h"
#include "foundation/aio_ostream.h"

namespace {
constexpr unsigned int hostOrder10_1_2_3 = 0x0a010203u;

std::string text(const cow_String& value) { return std::string(value.view()); }

// The text of the network error that `call` raises, prefixed by its kind's name.
template <class Call>
std::string raisedBy(Call call) {
    try {
        call();
    } catch (const csp_NetworkException& error) {
        return std::string(csp_getNetworkErrorName(error.getKind())) + " " + text(error.AsString());
    }
    return "nothing raised";
}

template <class Value>
std::string printed(const Value& value) {
    std::ostringstream captured;
    aio_ostream stream(captured);
    stream << value;
    return captured.str();
}
}  // namespace

TEST(CspIpAddress, DottedTextIsParsedWithoutLookupAndBadDottedTextRaises) {
    EXPECT_EQ(text(csp_IpAddress(cow_String("10.1.2.3")).toString()), "IpAddress( 10.1.2.3 )");
    EXPECT_EQ(csp_IpAddress(cow_String("10.1.2.3")), csp_IpAddress(hostOrder10_1_2_3));
    EXPECT_EQ(static_cast<in_addr>(csp_IpAddress(hostOrder10_1_2_3)).s_addr, inet_addr("10.1.2.3"));

    const csp_IpAddress any(cow_String("0.0.0.0"));
    EXPECT_FALSE(any.isDefined());
    EXPECT_EQ(printed(any), "IpAddress( ANY )");
    EXPECT_EQ(printed(csp_IpAddress()), "IpAddress( ANY )");
    EXPECT_TRUE(csp_IpAddress(hostOrder10_1_2_3).isDefined());

    EXPECT_EQ(raisedBy([] { csp_IpAddress(cow_String("255.255.255.255")); }), "invalid_address 0:255.255.255.255");
    EXPECT_EQ(raisedBy([] { csp_IpAddress(cow_String("256.1.2.3")); }), "invalid_address 0:256.1.2.3");
    EXPECT_EQ(raisedBy([] { csp_IpAddress(cow_String("1..2.3")); }), "invalid_address 0:1..2.3");
}

TEST(CspIpAddress, TextsThatAreNotFourDottedNumbersAreHostNames) {
    // The resolver itself reads short dotted forms, but never as a dotted text here.
    EXPECT_EQ(csp_IpAddress(cow_String("10.1.2")), csp_Host(cow_String("10.1.2")).getAddresses()[0]);
    EXPECT_EQ(raisedBy([] { csp_IpAddress(cow_String("10.1.2.3.4")); }), "invalid_host 1:10.1.2.3.4");
    // An empty label makes the resolver refuse the name without asking a name server.
    EXPECT_EQ(raisedBy([] { csp_IpAddress(cow_String("10.1..3x")); }), "invalid_host 1:10.1..3x");
    EXPECT_EQ(raisedBy([] { csp_IpAddress(cow_String("")); }), "invalid_host 1:");
    EXPECT_EQ(csp_IpAddress(cow_String("localhost")), csp_IpAddress(0x7f000001u));
}

TEST(CspSocketAddress, HoldsItsOwnRecordAndKeepsThePortIn16Bits) {
    const csp_SocketAddress anyPort0(0);
    EXPECT_FALSE(anyPort0.isDefined());
    EXPECT_EQ(anyPort0.getFamily(), AF_INET);
    EXPECT_TRUE(csp_SocketAddress(csp_IpAddress(), 80).isDefined());

    csp_SocketAddress address(csp_IpAddress(hostOrder10_1_2_3), 7000);
    EXPECT_EQ(printed(address), "SocketAddress( IpAddress( 10.1.2.3 ), port 7000 )");
    const sockaddr_in record = address;
    EXPECT_EQ(record.sin_family, AF_INET);
    EXPECT_EQ(record.sin_port, htons(7000));
    EXPECT_EQ(record.sin_addr.s_addr, inet_addr("10.1.2.3"));

    address.setPort(70000);
    EXPECT_EQ(address.getPort(), 4464);

    csp_SocketAddress copy(address);
    copy.setPort(1);
    copy.setIpAddress(csp_IpAddress());
    EXPECT_EQ(address.getPort(), 4464);
    EXPECT_EQ(address.getIpAddress(), csp_IpAddress(hostOrder10_1_2_3));

    copy = address;
    address.setPort(2);
    EXPECT_EQ(copy.getPort(), 4464);

    csp_SocketAddress& self = copy;
    copy = self;
    EXPECT_EQ(text(copy.toString()), "SocketAddress( IpAddress( 10.1.2.3 ), port 4464 )");

    sockaddr_in raw{};
    raw.sin_family = AF_INET;
    raw.sin_port = htons(5222);
    copy = raw;
    EXPECT_EQ(text(copy.toString()), "SocketAddress( IpAddress( ANY ), port 5222 )");
    EXPECT_EQ(csp_SocketAddress(raw).getPort(), 5222);
}

TEST(CspHost, LooksUpByNameAndByAddressAndReportsUnknownOnes) {
    const csp_Host byName(cow_String("localhost"));
    ASSERT_TRUE(byName.isDefined());
    EXPECT_EQ(byName.getName(), "localhost");
    ASSERT_GE(byName.getAddresses().Count(), 1);
    EXPECT_EQ(byName.getAddresses()[0], csp_IpAddress(0x7f000001u));

    const csp_Host byAddress(csp_IpAddress(0x7f000001u));
    EXPECT_TRUE(byAddress.isDefined());

    // Names the resolver refuses by itself, so no query leaves the machine.
    EXPECT_EQ(raisedBy([] { csp_Host(cow_String("no..such.host")); }), "invalid_host 1:no..such.host");
    const std::string longLabel(64, 'a');
    EXPECT_EQ(raisedBy([&] { csp_Host(cow_String(longLabel.c_str())); }), "invalid_host 1:" + longLabel);
}

TEST(CspHost, FillsFromAResolverEntryAndPrints) {
    char name[] = "gateway";
    char alias[] = "gw";
    char* aliases[] = {alias, nullptr};
    in_addr first{inet_addr("10.1.2.3")};
    in_addr second{inet_addr("10.1.2.4")};
    char* addressList[] = {reinterpret_cast<char*>(&first), reinterpret_cast<char*>(&second), nullptr};
    hostent entry{name, aliases, AF_INET, sizeof(in_addr), addressList};

    const csp_Host host(entry);
    name[0] = 'X';
    EXPECT_EQ(host.getName(), "gateway");
    ASSERT_EQ(host.getAliases().Count(), 1);
    EXPECT_EQ(host.getAliases()[0], "gw");
    EXPECT_EQ(printed(host), "Host( gateway, IpAddress( 10.1.2.3 ) IpAddress( 10.1.2.4 ) )");

    char* noAddresses[] = {nullptr};
    char* noAliases[] = {nullptr};
    const csp_Host bare(hostent{name, noAliases, AF_INET, sizeof(in_addr), noAddresses});
    EXPECT_EQ(printed(bare), "Host( Xateway, )");

    EXPECT_FALSE(csp_Host().isDefined());
    EXPECT_EQ(printed(csp_Host()), "Host( network host is not defined )");
}

TEST(CspHost, ConcurrentLookupsEachGetTheirOwnAnswer) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 40; ++i) {
                const bool byName = (t + i) % 2 == 0;
                const csp_Host host = byName ? csp_Host(cow_String("localhost")) : csp_Host(csp_IpAddress(0x7f000001u));
                if (host.getAddresses().Count() < 1 || !(host.getAddresses()[0] == csp_IpAddress(0x7f000001u))) ++wrong;
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
    EXPECT_EQ(count, 1);
    csp_initialize(count);
    EXPECT_EQ(count, 1);

    const csp_Host local = csp_Host::localHost();
    EXPECT_TRUE(local.isDefined());
    EXPECT_GE(local.getAddresses().Count(), 1);
    EXPECT_TRUE(csp_LocalHostCache::holdsRecord());
    EXPECT_EQ(csp_Host::localHost().getName(), local.getName());

    csp_finalize(count);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(csp_LocalHostCache::holdsRecord());
    csp_finalize(count);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(csp_LocalHostCache::holdsRecord());

    // An unmatched finalize goes below zero without touching the caller's count.
    csp_finalize(count);
    EXPECT_EQ(count, 0);
    csp_initialize(count);
    EXPECT_EQ(count, 0);
    csp_initialize(count);
    EXPECT_EQ(count, 1);
    csp_finalize(count);
    EXPECT_EQ(count, 0);
}
