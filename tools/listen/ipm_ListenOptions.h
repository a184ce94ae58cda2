#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/listen/ipm_MessagePrinter.h"

// The listener's command line:
//   ipm-listen [--port N] [--bind ADDR] [--raw | --json] [--kill-after N]
class ipm_ListenOptions {
public:
    // Throws std::invalid_argument naming the bad argument.
    static ipm_ListenOptions Parse(const std::vector<std::string>& arguments);
    static const char* Usage();

    std::uint16_t port = 0;
    std::string bindAddress = "127.0.0.1";
    ipm_MessagePrinter::Mode mode = ipm_MessagePrinter::Mode::text;
    // Kill a job after this many of its messages; 0 never.
    unsigned long killAfter = 0;
    bool help = false;
};
