#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tools/listen/store/ipm_HistoryCheckpoint.h"
#include "tools/listen/store/ipm_JobRecord.h"
#include "tools/listen/store/ipm_MessageRecord.h"
#include "tools/listen/store/ipm_SeriesSummary.h"

struct sqlite3;

// The monitor's history in an SQLite database (WAL mode): every job and
// every message, so that a restarted listener still shows them. Several
// processes may share one database: a job's id comes from the database as
// its row is inserted; message ids are handed out at once from blocks that
// each process reserves in the database beforehand, so that none waits for
// a write. Writes are queued and a thread of its own stores them a batch per
// transaction, with the summary of each job's numeric series; a batch that
// fails is kept and tried again. Reads use a connection of their own.
// Schema: docs/monitor.md.
class ipm_History {
public:
    static constexpr const char* defaultFile = "ipm-listen.db";
    // Messages queued before Store waits for the writer: memory stays flat
    // when messages come faster than the disk takes them.
    static constexpr std::size_t maxQueued = 30000;
    // The writer lets a batch fill up to `gatherBatch` messages for at most
    // `gatherTime`: a transaction per few messages would cost more than
    // their rows.
    static constexpr std::size_t gatherBatch = 2000;
    static constexpr auto gatherTime = std::chrono::milliseconds(20);
    // How often a failed batch is tried again.
    static constexpr auto retryInterval = std::chrono::seconds(1);
    // At most this many points per series answer.
    static constexpr std::size_t maxPoints = 1000;
    // Message ids reserved at a time.
    static constexpr std::int64_t idBlock = 65536;

    // Called with each message as it is taken in, with its id, on the
    // thread that stores it; the message may be encoded there.
    using StoredHandler = std::function<void(std::int64_t id, ipm_MessageRecord& message)>;

    // Opens or creates the database; messages older than `keepDays` days
    // (0: none) are deleted now and then. Throws std::runtime_error.
    explicit ipm_History(const std::string& file, unsigned keepDays = 0);
    // Writes what is queued, then closes.
    ~ipm_History();
    ipm_History(const ipm_History&) = delete;
    ipm_History& operator=(const ipm_History&) = delete;

    // Marks the jobs shown as live as unreachable: their listener ended
    // without telling how they did.
    void EndOrphanedJobs();
    // The jobs from id `from` on.
    std::vector<ipm_JobRecord> Jobs(std::int64_t from = 0);
    // Inserts the job's row and returns the id the database gave it. The
    // rows of jobs added one after another are committed together, by
    // CommitJobs or the writer's next batch; meanwhile other processes wait
    // to write. Throws std::runtime_error.
    std::int64_t AddJob(const ipm_JobRecord& job);
    void CommitJobs();

    // Must be set before the first message is stored.
    // Returns only when no earlier handler is running, so its owner may go.
    void OnStored(StoredHandler handler);
    // The message's id, or 0 when it is dropped: the history has been
    // failing and `maxQueued` messages already wait besides the batch held
    // (which holds at most what was queued when it was taken: at most
    // 2 * maxQueued in all), or no id can be reserved. Takes the record's
    // content and leaves in `message` one already written, when there is
    // one, whose strings keep their room: a caller that fills it again
    // stores a stream of messages without allocating, and no thread frees
    // what another allocated.
    std::int64_t Store(ipm_MessageRecord&& message);
    // Keeps the job's row as it is now; only the latest row of a job is
    // written when it changes several times within a batch.
    void Store(const ipm_JobRecord& job);
    // Returns once everything stored so far is written (true), or at once
    // while writes fail (false).
    bool Flush();

    // The job a log file of this content (its digest) was imported as; 0 for none.
    std::int64_t ImportedAs(const std::string& digest);
    // Notes at once that the log `file` of this content was imported as `job`.
    void RecordImport(const std::string& digest, const std::string& file, std::int64_t job);

    // {"messages":[..],"next":CURSOR}: the job's messages with an id above
    // `after` (below `before` when it is not 0, newest first then), of type
    // `type` unless it is empty, at most `limit`.
    std::string Messages(std::int64_t job, std::int64_t after, std::int64_t before, const std::string& type,
                         int limit);
    // {"types":{TYPE:COUNT,..},"through":ID}: how many of the job's stored
    // messages are of each type, and the newest message counted.
    nlohmann::ordered_json MessageTypes(std::int64_t job);
    // The names of the fields the job's messages carry, in order of first use.
    std::vector<std::string> FieldNames(std::int64_t job);
    // The fields the job's messages carry as numbers: those of its newest
    // message first, in its order, then the rest by name. Read from the
    // series' summary and the messages beyond it, whatever the job's size.
    std::vector<std::string> NumericFields(std::int64_t job);
    // [[x,y],..] of the messages that carry both numbers, x from `from` to
    // `to`; `x` is a field's name, "time", the arrival, or "#", the message's
    // number in the job from 1. Beyond maxPoints
    // points, each of maxPoints/2 equal spans of x keeps its lowest and
    // highest y. Against time or the number, read from the series' summary
    // (a few thousand rows at most); against a field, from every message in
    // range. Field names with '"' or '\' have none against a field.
    nlohmann::ordered_json Series(std::int64_t job, const std::string& field, const std::string& x, double from,
                                  double to);

private:
    struct Batch {
        std::vector<ipm_MessageRecord> messages;
        std::vector<std::int64_t> ids;
        std::map<std::int64_t, ipm_JobRecord> jobs;
        // The summary of `messages` up to `summarised`.
        std::size_t summarised = 0;
        std::vector<ipm_SeriesSummary::Span> spans;
        std::map<std::int64_t, ipm_SeriesSummary::Extent> extents;
    };

    void Write();
    // Merges what is queued into `batch`; the queue's lock is held.
    void TakeQueued(Batch& batch);
    // Summarises the messages taken since the last call.
    void Summarise(Batch& batch);
    // False, with `why`, when the transaction failed and was rolled back.
    // Reserves the next block of ids when `reserve` and it is written.
    bool WriteBatch(const Batch& batch, bool reserve, std::int64_t& reserved, std::string& why);
    // The next message id, reserving a block when none is left; 0 when none
    // can be reserved. The queue's lock is held (and let go meanwhile).
    std::int64_t TakeId(std::unique_lock<std::mutex>& lock);
    // Reserves a block of ids inside the writer's transaction: its first id.
    std::int64_t ReserveBlock();
    // The same in a transaction of its own. Throws std::runtime_error.
    std::int64_t ReserveBlockNow();
    void ReportOutcome(bool written, const std::string& why);
    // Empties a batch written or given up, but for its records.
    static void EmptyBatch(Batch& batch);
    // Keeps the records of a written batch for Store to give back; the
    // queue's lock is held.
    void Recycle(std::vector<ipm_MessageRecord>& written);
    // CommitJobs with writeLock held; a failure is reported, not thrown.
    void CommitOpenJobs();
    void ApplyRetention();

    std::string file;
    sqlite3* writer = nullptr;
    sqlite3* reader = nullptr;
    std::mutex readLock;
    std::mutex writeLock;
    std::unique_ptr<ipm_HistoryCheckpoint> checkpoint;
    // A transaction holds jobs added since the last batch (changed under
    // writeLock).
    std::atomic<bool> jobsOpen{false};
    std::mutex storedLock;
    StoredHandler stored;
    unsigned keepDays;
    std::chrono::steady_clock::time_point nextRetention{};

    std::mutex queueLock;
    std::condition_variable queueChanged;
    Batch queued;
    // Records written, for Store to hand back to be filled again.
    std::vector<ipm_MessageRecord> spent;
    // Ids from nextId up to idEnd are this process's to hand out; spareId,
    // when not 0, starts the next reserved block.
    std::int64_t nextId = 0, idEnd = 0, spareId = 0;
    ipm_SeriesSummary summary;
    // Messages of the batch the writer holds.
    std::size_t held = 0;
    bool writing = false;
    bool closing = false;
    // Set while writes fail; what was dropped since.
    bool failing = false;
    std::size_t dropped = 0;
    std::thread writerThread;
};
