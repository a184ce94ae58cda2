#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/listen/ipm_JabberListener.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_Listener.h"

namespace {

// The first line tells scripts that the listener is ready and where.
template <class Listener>
void listen(const ipm_ListenOptions& options) {
    Listener listener(options);
    std::printf("listening on %s\n", listener.Address().c_str());
    std::fflush(stdout);
    listener.Run();
}

}  // namespace

int main(int argc, char** argv) {
    ipm_ListenOptions options;
    try {
        options = ipm_ListenOptions::Parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ipm-listen: %s\n%s", error.what(), ipm_ListenOptions::Usage());
        return 2;
    }
    if (options.help) {
        std::fputs(ipm_ListenOptions::Usage(), stdout);
        return 0;
    }
    try {
        if (options.jabber) {
            listen<ipm_JabberListener>(options);
        } else {
            listen<ipm_Listener>(options);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ipm-listen: %s\n", error.what());
        return 1;
    }
    return 0;
}
