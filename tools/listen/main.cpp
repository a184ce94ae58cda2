#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipm/ipm_version.h"
#include "tools/listen/alert/ipm_AlertDispatch.h"
#include "tools/listen/web/ipm_AccessToken.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/store/ipm_History.h"
#include "tools/listen/ingest/ipm_DirectSource.h"
#include "tools/listen/ingest/ipm_JabberSource.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ingest/ipm_Listener.h"
#include "tools/listen/ingest/ipm_RequestBook.h"
#include "tools/listen/store/ipm_LogImport.h"
#include "tools/listen/store/ipm_Monitor.h"
#include "tools/listen/web/ipm_MonitorServer.h"

namespace {

void announce(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A history file this run creates is removed again unless the run gets
// going: a failed start leaves nothing behind in the working directory.
class NewHistoryFile {
public:
    explicit NewHistoryFile(const std::string& file) : file(file), created(!std::filesystem::exists(file)) {}
    ~NewHistoryFile() {
        if (!created || kept) return;
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file + suffix, ignored);
    }
    NewHistoryFile(const NewHistoryFile&) = delete;
    NewHistoryFile& operator=(const NewHistoryFile&) = delete;
    void Keep() { kept = true; }

private:
    std::string file;
    bool created;
    bool kept = false;
};

// The log is a source of the listener's loop, whose messages go only to the history.
int import(ipm_ListenOptions options) {
    NewHistoryFile file(options.database);
    std::size_t messages = 0;
    std::int64_t job = 0;
    {
        ipm_History history(options.database, options.keepDays);
        ipm_Monitor monitor(history, options.silentAfter);
        options.mode = ipm_MessagePrinter::Mode::none;
        ipm_Listener listener(options, &monitor);
        auto source = std::make_unique<ipm_LogImport>(monitor, options.importFile, options.importJob);
        const ipm_LogImport& log = *source;
        listener.Add(std::move(source));
        listener.Run();
        if (!log.Finished()) throw std::runtime_error("stopped before the end of " + options.importFile);
        job = log.JobId();
        messages = log.Messages();
    }
    file.Keep();
    announce("imported " + std::to_string(messages) + (messages == 1 ? " message" : " messages") + " as job " +
             std::to_string(job) + " into " + options.database);
    return 0;
}

// Each direct job holds a descriptor: take as many as the system lets this process.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void listen(const ipm_ListenOptions& options) {
    raiseDescriptorLimit();
    // The loop flushes what it printed before it waits (ipm_Console).
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    std::optional<NewHistoryFile> file;
    std::unique_ptr<ipm_History> history;
    std::unique_ptr<ipm_Monitor> monitor;
    ipm_RequestBook requests(std::chrono::seconds(options.answerSeconds));
    if (!options.database.empty()) {
        file.emplace(options.database);
        history = std::make_unique<ipm_History>(options.database, options.keepDays);
        history->EndOrphanedJobs();
        monitor = std::make_unique<ipm_Monitor>(*history, options.silentAfter);
        monitor->UseRequests(requests);
    }
    // However the loops end, the jobs still followed are then unreachable.
    struct EndOfFollowing {
        ipm_Monitor* monitor;
        ~EndOfFollowing() {
            if (monitor) monitor->ListenerEnded();
        }
    } endOfFollowing{monitor.get()};
    // Everything is in place before the first line, which tells a caller
    // that the listener runs.
    ipm_Listener listener(options, monitor.get(), &requests);
    std::unique_ptr<ipm_DirectSource> direct;
    if (options.direct) direct = std::make_unique<ipm_DirectSource>(options);
    std::unique_ptr<ipm_MonitorServer> server;
    if (options.http) {
        const std::string token = options.token.empty() ? ipm_AccessToken::Generate() : options.token;
        server = std::make_unique<ipm_MonitorServer>(*monitor, options.http->address, options.http->port, token,
                                                      options.webDirectory);
    }
    // Alerts come from the loops, so the destinations outlive them.
    std::unique_ptr<ipm_AlertDispatch> alerts;
    if (monitor && !options.alerts.rules.empty()) {
        alerts = std::make_unique<ipm_AlertDispatch>(options, server ? server->Address() : "");
        monitor->WatchFor(options.alerts.rules, [&alerts](const ipm_Alert& alert) { alerts->Post(alert); });
    }
    if (direct) announce("listening on " + direct->Address());
    std::unique_ptr<ipm_JabberSource> jabber;
    if (options.jabber) {
        jabber = std::make_unique<ipm_JabberSource>(options);
        announce("listening on " + jabber->Address());
    }
    if (server) announce("monitor at " + server->PageAddress());
    if (file) {
        file->Keep();
        ipm_Console::Report("history in " + std::filesystem::absolute(options.database).string());
    }
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
        if (!options.importFile.empty()) return import(options);
        listen(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ipm-listen: %s\n", error.what());
        return 1;
    }
    return 0;
}
