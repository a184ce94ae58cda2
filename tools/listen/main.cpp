#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ipm/ipm_version.h"
#include "tools/listen/ingest/ipm_DirectSource.h"
#include "tools/listen/ingest/ipm_JabberSource.h"
#include "tools/listen/ingest/ipm_Listener.h"
#include "tools/listen/ingest/ipm_RequestBook.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_MonitorParts.h"
#include "tools/listen/ipm_ProcessSetup.h"
#include "tools/listen/ipm_StopRequest.h"

namespace {

void announce(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void listen(const ipm_ListenOptions& options) {
    ipm_ProcessSetup::Prepare();
    // The loop flushes what it printed before it waits (ipm_Console); an
    // output that fails stops the loop as a signal would.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    ipm_Console::OnOutputFailure(&ipm_StopRequest::Ask);
    ipm_RequestBook requests(std::chrono::seconds(options.answerSeconds));
    ipm_MonitorParts monitor(options, requests);
    // Everything is in place before the first line, which tells a caller
    // that the listener runs.
    ipm_Listener listener(options, monitor.Link(), &requests);
    std::unique_ptr<ipm_DirectSource> direct;
    if (options.direct) direct = std::make_unique<ipm_DirectSource>(options);
    monitor.Serve();
    if (direct) announce("listening on " + direct->Address());
    std::unique_ptr<ipm_JabberSource> jabber;
    if (options.jabber) {
        jabber = std::make_unique<ipm_JabberSource>(options);
        announce("listening on " + jabber->Address());
    }
    if (const std::string page = monitor.PageAddress(); !page.empty()) announce("monitor at " + page);
    monitor.Started();
    if (direct) listener.Add(std::move(direct));
    if (jabber) listener.Add(std::move(jabber));
    listener.Run();
}

}  // namespace

int main(int argc, char** argv) {
    ipm_ListenOptions options;
    try {
        options = ipm_ListenOptions::Parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ipm-listen: %s; see ipm-listen --help\n", error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(ipm_ListenOptions::Usage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("ipm-listen %s\n", IPM_VERSION);
        return 0;
    }
    for (const std::string& warning : options.warnings) std::fprintf(stderr, "ipm-listen: warning: %s\n", warning.c_str());
    try {
        if (!options.importFile.empty()) {
            announce(ipm_MonitorParts::Import(options));
            return 0;
        }
        listen(options);
    } catch (const std::exception& error) {
        // What was printed before goes out first; a failed output is the error itself.
        ipm_Console::Finish();
        std::fprintf(stderr, "ipm-listen: %s\n", error.what());
        return 1;
    }
    if (const std::string failure = ipm_Console::Finish(); !failure.empty()) {
        std::fprintf(stderr, "ipm-listen: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
