#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tools/listen/ipm_JobRecord.h"
#include "tools/listen/ipm_MessageRecord.h"

struct sqlite3;

// The monitor's history in an SQLite database (WAL mode): every job and
// every message, so that a restarted listener still shows them. Writes are
// queued and a thread of its own stores them a batch per transaction; reads
// (and the rare note of an import) use a connection of their own. Schema:
// docs/monitor.md.
class ipm_History {
public:
    static constexpr const char* defaultFile = "ipm-listen.db";
    // Messages queued before Store waits for the writer: memory stays flat
    // when messages come faster than the disk takes them.
    static constexpr std::size_t maxQueued = 10000;

    // Opens or creates the database; jobs it shows as running are marked
    // gone, since their listener ended. Throws std::runtime_error.
    explicit ipm_History(const std::string& file);
    // Writes what is queued, then closes.
    ~ipm_History();
    ipm_History(const ipm_History&) = delete;
    ipm_History& operator=(const ipm_History&) = delete;

    // The jobs from id `from` on.
    std::vector<ipm_JobRecord> Jobs(std::int64_t from = 0);
    std::int64_t LastMessageId();

    void Store(const ipm_MessageRecord& message);
    // Keeps the job's row as it is now; only the latest row of a job is
    // written when it changes several times within a batch.
    void Store(const ipm_JobRecord& job);
    // Returns once everything stored so far is written.
    void Flush();

    // The job a log file of this content (its digest) was imported as; 0 for none.
    std::int64_t ImportedAs(const std::string& digest);
    // Notes at once that the log `file` of this content was imported as `job`.
    void RecordImport(const std::string& digest, const std::string& file, std::int64_t job);

    // {"messages":[..],"next":CURSOR}: the job's messages with an id above
    // `after`, of type `type` unless it is empty, at most `limit`.
    nlohmann::ordered_json Messages(std::int64_t job, std::int64_t after, const std::string& type, int limit);
    // [[x,y],..] of the messages that carry both numbers; `x` is a field's
    // name or "time", the arrival. Field names with '"' or '\' have none.
    nlohmann::ordered_json Series(std::int64_t job, const std::string& field, const std::string& x);

private:
    // A message as it waits for the writer: its JSON already text, which
    // takes a fraction of the memory of the parsed form.
    struct QueuedMessage {
        std::int64_t id;
        std::int64_t job;
        std::int64_t time;
        std::string type;
        std::string fields;
        std::string types;
    };

    void Write();
    void WriteBatch(const std::vector<QueuedMessage>& messages, const std::map<std::int64_t, ipm_JobRecord>& jobs);

    sqlite3* writer = nullptr;
    sqlite3* reader = nullptr;
    std::mutex readLock;

    std::mutex queueLock;
    std::condition_variable queueChanged;
    std::vector<QueuedMessage> queuedMessages;
    std::map<std::int64_t, ipm_JobRecord> queuedJobs;
    bool writing = false;
    bool closing = false;
    bool failureReported = false;
    std::thread writerThread;
};
