#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/listen/ipm_AccessToken.h"
#include "tools/listen/ipm_History.h"
#include "tools/listen/ipm_JabberListener.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_Listener.h"
#include "tools/listen/ipm_LogImport.h"
#include "tools/listen/ipm_Monitor.h"
#include "tools/listen/ipm_MonitorServer.h"

namespace {

void announce(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int import(const ipm_ListenOptions& options) {
    ipm_History history(options.database);
    ipm_Monitor monitor(history);
    std::size_t messages = 0;
    const std::int64_t job = ipm_LogImport::Run(monitor, options.importFile, options.importJob, messages);
    history.Flush();
    announce("imported " + std::to_string(messages) + " messages as job " + std::to_string(job) + " into " +
             options.database);
    return 0;
}

// Both transports at once: the Jabber loop on a thread of its own; when it
// fails, the whole listener stops and reports why.
void listenOnBoth(ipm_JabberListener& jabber, ipm_Listener& direct) {
    std::exception_ptr failure;
    std::thread jabberLoop([&] {
        try {
            jabber.Run();
        } catch (...) {
            failure = std::current_exception();
            ipm_StopRequest::Ask();
        }
    });
    try {
        direct.Run();
    } catch (...) {
        ipm_StopRequest::Ask();
        jabberLoop.join();
        throw;
    }
    ipm_StopRequest::Ask();
    jabberLoop.join();
    if (failure) std::rethrow_exception(failure);
}

void listen(const ipm_ListenOptions& options) {
    // The stop pipe outlives both loops, so a signal reaches each.
    ipm_StopRequest stop;
    std::unique_ptr<ipm_History> history;
    std::unique_ptr<ipm_Monitor> monitor;
    if (!options.database.empty()) {
        history = std::make_unique<ipm_History>(options.database);
        monitor = std::make_unique<ipm_Monitor>(*history);
    }
    std::optional<ipm_Listener> direct;
    if (options.direct) {
        direct.emplace(options, monitor.get());
        announce("listening on " + direct->Address());
    }
    std::optional<ipm_JabberListener> jabber;
    if (options.jabber) {
        jabber.emplace(options, monitor.get(), !options.direct);
        announce("listening on " + jabber->Address());
    }
    std::unique_ptr<ipm_MonitorServer> server;
    if (options.http) {
        const std::string token = options.token.empty() ? ipm_AccessToken::Generate() : options.token;
        server = std::make_unique<ipm_MonitorServer>(*monitor, options.http->address, options.http->port, token);
        announce("monitor at " + server->PageAddress());
    }
    if (direct && jabber) {
        listenOnBoth(*jabber, *direct);
    } else if (direct) {
        direct->Run();
    } else {
        jabber->Run();
    }
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
    for (const std::string& warning : options.warnings) std::fprintf(stderr, "ipm-listen: warning: %s\n", warning.c_str());
    try {
        if (!options.importFile.empty()) return import(options);
        listen(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ipm-listen: %s\n", error.what());
        return 1;
    }
    return 0;
}
