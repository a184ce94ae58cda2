#include "tools/listen/ipm_MonitorParts.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "tools/listen/alert/ipm_AlertDispatch.h"
#include "tools/listen/ingest/ipm_Listener.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/store/ipm_History.h"
#include "tools/listen/store/ipm_LogImport.h"
#include "tools/listen/store/ipm_Monitor.h"
#include "tools/listen/web/ipm_AccessToken.h"
#include "tools/listen/web/ipm_MonitorServer.h"

namespace {

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

// Jobs an earlier run left running cannot be followed any more.
ipm_History& withOrphansEnded(ipm_History& history) {
    history.EndOrphanedJobs();
    return history;
}

}  // namespace

struct ipm_MonitorParts::Parts {
    const ipm_ListenOptions& options;
    NewHistoryFile file;
    ipm_History history;
    ipm_Monitor monitor;
    std::unique_ptr<ipm_MonitorServer> server;
    // Alerts come from the loops, so the destinations outlive them.
    std::unique_ptr<ipm_AlertDispatch> alerts;

    Parts(const ipm_ListenOptions& options, ipm_RequestBook& requests)
        : options(options),
          file(options.database),
          history(options.database, options.keepDays),
          monitor(withOrphansEnded(history), options.silentAfter) {
        monitor.UseRequests(requests);
    }
};

ipm_MonitorParts::ipm_MonitorParts(const ipm_ListenOptions& options, ipm_RequestBook& requests)
    : parts(options.database.empty() ? nullptr : std::make_unique<Parts>(options, requests)) {}

ipm_MonitorParts::~ipm_MonitorParts() {
    if (!parts) return;
    parts->alerts.reset();
    parts->server.reset();
    parts->monitor.ListenerEnded();
}

ipm_MonitorLink* ipm_MonitorParts::Link() const { return parts ? &parts->monitor : nullptr; }

void ipm_MonitorParts::Serve() {
    if (!parts) return;
    const ipm_ListenOptions& options = parts->options;
    if (options.http) {
        const std::string token = options.token.empty() ? ipm_AccessToken::Generate() : options.token;
        parts->server = std::make_unique<ipm_MonitorServer>(parts->monitor, options.http->address, options.http->port,
                                                            token, options.webDirectory);
    }
    if (options.alerts.rules.empty()) return;
    parts->alerts = std::make_unique<ipm_AlertDispatch>(options, parts->server ? parts->server->Address() : "");
    parts->monitor.WatchFor(options.alerts.rules,
                            [&alerts = parts->alerts](const ipm_Alert& alert) { alerts->Post(alert); });
}

std::string ipm_MonitorParts::PageAddress() const { return parts && parts->server ? parts->server->PageAddress() : ""; }

void ipm_MonitorParts::Started() {
    if (!parts) return;
    parts->file.Keep();
    ipm_Console::Report("history in " + std::filesystem::absolute(parts->options.database).string());
}

std::string ipm_MonitorParts::Import(const ipm_ListenOptions& options) {
    NewHistoryFile file(options.database);
    std::size_t messages = 0;
    std::int64_t job = 0;
    {
        ipm_History history(options.database, options.keepDays);
        ipm_Monitor monitor(history, options.silentAfter);
        // The log is a source of the listener's loop, whose messages go only
        // to the history.
        ipm_ListenOptions quiet = options;
        quiet.mode = ipm_MessagePrinter::Mode::none;
        ipm_Listener listener(quiet, &monitor);
        auto source = std::make_unique<ipm_LogImport>(monitor, options.importFile, options.importJob);
        const ipm_LogImport& log = *source;
        listener.Add(std::move(source));
        listener.Run();
        if (!log.Finished()) throw std::runtime_error("stopped before the end of " + options.importFile);
        job = log.JobId();
        messages = log.Messages();
    }
    file.Keep();
    return "imported " + std::to_string(messages) + (messages == 1 ? " message" : " messages") + " as job " +
           std::to_string(job) + " into " + options.database;
}
