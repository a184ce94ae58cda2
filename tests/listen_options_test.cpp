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
         }) {
        EXPECT_THROW(ipm_ListenOptions::Parse(arguments), std::invalid_argument) << arguments[0];
    }
}

}  // namespace
