#include "tools/listen/ipm_ListenOptions.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Arguments = std::vector<std::string>;
using Mode = ipm_MessagePrinter::Mode;

TEST(ListenOptions, DefaultsAndEveryOption) {
    const auto defaults = ipm_ListenOptions::Parse({});
    EXPECT_EQ(defaults.port, 0);
    EXPECT_EQ(defaults.bindAddress, "127.0.0.1");
    EXPECT_EQ(defaults.mode, Mode::text);
    EXPECT_EQ(defaults.killAfter, 0u);
    EXPECT_FALSE(defaults.help);

    const auto all = ipm_ListenOptions::Parse(
        Arguments{"--port", "65535", "--bind", "0.0.0.0", "--json", "--kill-after", "3"});
    EXPECT_EQ(all.port, 65535);
    EXPECT_EQ(all.bindAddress, "0.0.0.0");
    EXPECT_EQ(all.mode, Mode::json);
    EXPECT_EQ(all.killAfter, 3u);
    EXPECT_EQ(ipm_ListenOptions::Parse(Arguments{"--raw", "--raw"}).mode, Mode::raw);
    EXPECT_TRUE(ipm_ListenOptions::Parse(Arguments{"--help"}).help);
    EXPECT_FALSE(defaults.jabber);
}

TEST(ListenOptions, JabberModeWithItsDefaults) {
    const auto plain = ipm_ListenOptions::Parse(Arguments{"--jabber", "mon@localhost/desk", "--kill-after", "2"});
    ASSERT_TRUE(plain.jabber);
    EXPECT_EQ(plain.jabber->user, "mon");
    EXPECT_EQ(plain.jabber->server, "localhost");
    EXPECT_EQ(plain.jabber->resource, "desk");
    EXPECT_EQ(plain.jabber->password, "mon");
    EXPECT_EQ(plain.jabber->serverAddress, "localhost");
    EXPECT_EQ(plain.jabber->Address(), "mon@localhost/desk");
    EXPECT_EQ(plain.killAfter, 2u);

    const auto full = ipm_ListenOptions::Parse(Arguments{"--json", "--password", "", "--server-address", "10.0.0.7",
                                                         "--jabber", "mon@example.org/desk/2 @home"});
    ASSERT_TRUE(full.jabber);
    EXPECT_EQ(full.jabber->resource, "desk/2 @home");
    EXPECT_EQ(full.jabber->password, "");
    EXPECT_EQ(full.jabber->serverAddress, "10.0.0.7");
    EXPECT_EQ(full.mode, Mode::json);
}

TEST(ListenOptions, RefusesBadArguments) {
    for (const Arguments& arguments : std::vector<Arguments>{
             {"--port"},
             {"--port", "65536"},
             {"--port", "-1"},
             {"--port", "12ab"},
             {"--port", ""},
             {"--bind", "localhost"},
             {"--bind", "1.2.3"},
             {"--raw", "--json"},
             {"--json", "--raw"},
             {"--kill-after", "0"},
             {"--kill-after", "x"},
             {"--verbose"},
             {"8080"},
             {"--jabber"},
             {"--jabber", "mon@localhost"},
             {"--jabber", "mon@localhost/"},
             {"--jabber", "@localhost/desk"},
             {"--jabber", "mon@/desk"},
             {"--jabber", "localhost/desk"},
             {"--jabber", "m<n@localhost/desk"},
             {"--jabber", "mon@local host/desk"},
             {"--jabber", "mon@localhost/de\nsk"},
             {"--jabber", "mon@localhost/desk", "--port", "0"},
             {"--bind", "127.0.0.1", "--jabber", "mon@localhost/desk"},
             {"--password", "p"},
             {"--server-address", "127.0.0.1"},
             {"--jabber", "mon@localhost/desk", "--server-address", ""},
         }) {
        EXPECT_THROW(ipm_ListenOptions::Parse(arguments), std::invalid_argument) << arguments[0];
    }
}

}  // namespace
