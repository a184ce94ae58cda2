#include "tools/listen/ipm_ListenOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <climits>
#include <stdexcept>

namespace {

unsigned long parseNumber(const std::string& option, const std::string& text, unsigned long lowest,
                          unsigned long highest) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < lowest || value > highest) {
        throw std::invalid_argument(option + " needs a number from " + std::to_string(lowest) + " to " +
                                    std::to_string(highest) + ", not \"" + text + "\"");
    }
    return value;
}

void setMode(ipm_ListenOptions& options, ipm_MessagePrinter::Mode mode) {
    if (options.mode != ipm_MessagePrinter::Mode::text && options.mode != mode) {
        throw std::invalid_argument("--raw and --json exclude each other");
    }
    options.mode = mode;
}

}  // namespace

ipm_ListenOptions ipm_ListenOptions::Parse(const std::vector<std::string>& arguments) {
    ipm_ListenOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 == arguments.size()) throw std::invalid_argument(option + " needs a value");
            return arguments[++i];
        };
        if (option == "--port") {
            options.port = static_cast<std::uint16_t>(parseNumber(option, value(), 0, 65535));
        } else if (option == "--bind") {
            options.bindAddress = value();
            in_addr address{};
            if (inet_pton(AF_INET, options.bindAddress.c_str(), &address) != 1) {
                throw std::invalid_argument("--bind needs a dotted IPv4 address, not \"" + options.bindAddress + "\"");
            }
        } else if (option == "--raw") {
            setMode(options, ipm_MessagePrinter::Mode::raw);
        } else if (option == "--json") {
            setMode(options, ipm_MessagePrinter::Mode::json);
        } else if (option == "--kill-after") {
            options.killAfter = parseNumber(option, value(), 1, ULONG_MAX);
        } else if (option == "--help" || option == "-h") {
            options.help = true;
        } else {
            throw std::invalid_argument("unknown argument \"" + option + "\"");
        }
    }
    return options;
}

const char* ipm_ListenOptions::Usage() {
    return "usage: ipm-listen [--port N] [--bind ADDR] [--raw | --json] [--kill-after N]\n"
           "  --port N        TCP port to listen on; 0 (the default) picks a free one\n"
           "  --bind ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
           "  --raw           print each document exactly as received\n"
           "  --json          print one JSON object per message\n"
           "  --kill-after N  send Kill to a job after its Nth message\n"
           "The first line printed is \"listening on ADDR:PORT\".\n"
           "Type \"kill JOB\" on standard input to send Kill to the jobs of that name.\n";
}
