#include "tools/listen/store/ipm_History.h"

#include <sqlite3.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "tools/listen/ipm_Console.h"

namespace {

using Json = nlohmann::ordered_json;

const char* const schema =
    "CREATE TABLE IF NOT EXISTS jobs("
    " id INTEGER PRIMARY KEY, name TEXT NOT NULL, host TEXT NOT NULL, handle TEXT NOT NULL,"
    " transport TEXT NOT NULL, peer TEXT NOT NULL, state TEXT NOT NULL, phase TEXT NOT NULL,"
    " step, increment, time, last_message INTEGER NOT NULL, messages INTEGER NOT NULL,"
    " warnings INTEGER NOT NULL, errors INTEGER NOT NULL, started INTEGER NOT NULL,"
    " stop_outcome TEXT NOT NULL, progress, ended INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS messages("
    " id INTEGER PRIMARY KEY, job INTEGER NOT NULL, time INTEGER NOT NULL, type TEXT NOT NULL,"
    " fields TEXT NOT NULL, types TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS messages_of_job ON messages(job, id);"
    "CREATE TABLE IF NOT EXISTS imports(digest TEXT PRIMARY KEY, file TEXT NOT NULL, job INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS id_blocks(name TEXT PRIMARY KEY, next INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS series(job INTEGER NOT NULL, field TEXT NOT NULL, level INTEGER NOT NULL,"
    " span INTEGER NOT NULL, first_id INTEGER NOT NULL, last_id INTEGER NOT NULL, first_time INTEGER NOT NULL,"
    " last_time INTEGER NOT NULL, low_number INTEGER NOT NULL, low_time INTEGER NOT NULL, low REAL NOT NULL,"
    " high_number INTEGER NOT NULL, high_time INTEGER NOT NULL, high REAL NOT NULL,"
    " PRIMARY KEY(job, field, level, span)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS series_extent(job INTEGER PRIMARY KEY, spans INTEGER NOT NULL,"
    " last_id INTEGER NOT NULL);"
    // How many messages of each type a job has: its view offers them all,
    // however far back, without reading its messages.
    "CREATE TABLE IF NOT EXISTS message_types(job INTEGER NOT NULL, type TEXT NOT NULL, count INTEGER NOT NULL,"
    " PRIMARY KEY(job, type)) WITHOUT ROWID;"
    "CREATE TRIGGER IF NOT EXISTS message_types_of_deleted AFTER DELETE ON messages BEGIN"
    " UPDATE message_types SET count = count - 1 WHERE job = old.job AND type = old.type; END;";

const char* const jobColumns =
    "name, host, handle, transport, peer, state, phase, step, increment, time, last_message, messages, warnings,"
    " errors, started, stop_outcome, progress, ended";

// The schema's version (SQLite's user_version). A history of version 0 made
// before jobs had a life cycle gains its columns, and its states are named
// anew: "stopped" meant an end in order, "gone" an end the listener could not
// tell. A history of version 1 summarised its series from spans of 16
// messages: each of its levels is the one below of spans four times longer,
// and how far a job's summary reaches is counted in the longer spans. A
// history of version 2 counts its messages' types once.
constexpr int schemaVersion = 3;
const char* const upgrades[schemaVersion] = {
    "ALTER TABLE jobs ADD COLUMN progress; ALTER TABLE jobs ADD COLUMN ended INTEGER NOT NULL DEFAULT 0;"
    "UPDATE jobs SET state = 'finished' WHERE state = 'stopped';"
    "UPDATE jobs SET state = 'unreachable' WHERE state = 'gone';",
    // Through negative levels, which no row holds, whatever order the rows change in.
    "DELETE FROM series WHERE level = 1; UPDATE series SET level = -level; UPDATE series SET level = -level - 1;"
    "DELETE FROM series_extent WHERE spans < 4;"
    "UPDATE series_extent SET spans = spans / 4, last_id = coalesce("
    " (SELECT last_id FROM series WHERE series.job = series_extent.job AND level = 1"
    "  AND span = series_extent.spans / 4 - 1 LIMIT 1), last_id);",
    ("DELETE FROM message_types;"
     "INSERT INTO message_types SELECT job, type, count(*) FROM messages GROUP BY job, type;")};

// Messages deleted per transaction when old ones go.
constexpr int retentionChunk = 5000;
constexpr auto retentionInterval = std::chrono::hours(1);

[[noreturn]] void fail(sqlite3* database, const std::string& what) {
    throw std::runtime_error(what + ": " + sqlite3_errmsg(database));
}

void execute(sqlite3* database, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(database, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(why);
    }
}

sqlite3* open(const std::string& file) {
    // SQLite's count of its memory takes a global lock on every allocation,
    // and nothing here reads it. Possible only before its first use in the
    // process; later, the call is refused and changes nothing.
    static const bool uncounted = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    static_cast<void>(uncounted);
    sqlite3* database = nullptr;
    if (sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = database ? sqlite3_errmsg(database) : "out of memory";
        sqlite3_close(database);
        throw std::runtime_error("cannot open the history " + file + ": " + why);
    }
    sqlite3_busy_timeout(database, 5000);
    return database;
}

// A connection of its own for one answer.
struct Connection {
    explicit Connection(const std::string& file) : database(open(file)) {}
    ~Connection() { sqlite3_close(database); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    sqlite3* database;
};

// A prepared statement, reset for each use.
class Statement {
public:
    Statement(sqlite3* database, const char* sql) : database(database) {
        if (sqlite3_prepare_v2(database, sql, -1, &statement, nullptr) != SQLITE_OK) fail(database, "history");
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::int64_t value) {
        sqlite3_bind_int64(statement, index, value);
        return *this;
    }
    // The text must outlive the statement's next step.
    Statement& Bind(int index, std::string_view text) {
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return *this;
    }
    Statement& Bind(int index, const std::string& text) { return Bind(index, std::string_view(text)); }
    Statement& Bind(int index, double value) {
        sqlite3_bind_double(statement, index, value);
        return *this;
    }
    Statement& Bind(int index, const Json& value) {
        if (value.is_number_integer()) return Bind(index, value.get<std::int64_t>());
        if (value.is_number()) {
            sqlite3_bind_double(statement, index, value.get<double>());
        } else if (value.is_string()) {
            Bind(index, value.get<std::string>());
        } else {
            sqlite3_bind_null(statement, index);
        }
        return *this;
    }
    // Ready to be bound and stepped again.
    Statement& Reset() {
        sqlite3_reset(statement);
        return *this;
    }
    // True while there is a row.
    bool Step() {
        const int result = sqlite3_step(statement);
        if (result == SQLITE_ROW) return true;
        if (result != SQLITE_DONE) fail(database, "history");
        return false;
    }
    // Steps through a statement that returns no rows, ready for the next use.
    void Run() {
        Step();
        sqlite3_reset(statement);
    }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(statement, column); }
    double Real(int column) const { return sqlite3_column_double(statement, column); }
    bool IsNumber(int column) const {
        const int type = sqlite3_column_type(statement, column);
        return type == SQLITE_INTEGER || type == SQLITE_FLOAT;
    }
    // The column's text, valid until the next step.
    std::string_view View(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : "";
    }
    std::string Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : "";
    }
    Json Value(int column) const {
        switch (sqlite3_column_type(statement, column)) {
            case SQLITE_INTEGER: return Integer(column);
            case SQLITE_FLOAT: return sqlite3_column_double(statement, column);
            case SQLITE_NULL: return nullptr;
            default: return Text(column);
        }
    }

private:
    sqlite3* database;
    sqlite3_stmt* statement = nullptr;
};

ipm_JobRecord jobFrom(const Statement& row) {
    ipm_JobRecord job;
    job.id = row.Integer(0);
    job.name = row.Text(1);
    job.host = row.Text(2);
    job.handle = row.Text(3);
    job.transport = row.Text(4);
    job.peer = row.Text(5);
    job.state = row.Text(6);
    job.phase = row.Text(7);
    job.step = row.Value(8);
    job.increment = row.Value(9);
    job.time = row.Value(10);
    job.lastMessage = row.Integer(11);
    job.messages = row.Integer(12);
    job.warnings = row.Integer(13);
    job.errors = row.Integer(14);
    job.started = row.Integer(15);
    job.stopOutcome = row.Text(16);
    job.progress = row.Value(17);
    job.ended = row.Integer(18);
    return job;
}

// Binds the job's columns, in jobColumns' order, from `first` on.
void bindJob(Statement& statement, const ipm_JobRecord& job, int first) {
    statement.Bind(first, job.name).Bind(first + 1, job.host).Bind(first + 2, job.handle);
    statement.Bind(first + 3, job.transport).Bind(first + 4, job.peer).Bind(first + 5, job.state);
    statement.Bind(first + 6, job.phase).Bind(first + 7, job.step).Bind(first + 8, job.increment);
    statement.Bind(first + 9, job.time).Bind(first + 10, job.lastMessage).Bind(first + 11, job.messages);
    statement.Bind(first + 12, job.warnings).Bind(first + 13, job.errors).Bind(first + 14, job.started);
    statement.Bind(first + 15, job.stopOutcome).Bind(first + 16, job.progress).Bind(first + 17, job.ended);
}

// How many of the messages are of each type, by job.
std::map<std::pair<std::int64_t, std::string_view>, std::int64_t> typeCounts(
    const std::vector<ipm_MessageRecord>& messages) {
    std::map<std::pair<std::int64_t, std::string_view>, std::int64_t> counts;
    for (const ipm_MessageRecord& message : messages) ++counts[{message.job, message.type}];
    return counts;
}

int userVersion(sqlite3* database) {
    Statement select(database, "PRAGMA user_version");
    return select.Step() ? static_cast<int>(select.Integer(0)) : 0;
}

// A new history is made at the current version; an older one is brought
// up to it in one transaction.
void upgrade(sqlite3* database) {
    execute(database, "BEGIN IMMEDIATE");
    try {
        Statement tables(database, "SELECT count(*) FROM sqlite_master WHERE name = 'jobs'");
        tables.Step();
        const bool fresh = tables.Integer(0) == 0;
        execute(database, schema);
        for (int version = fresh ? schemaVersion : userVersion(database); version < schemaVersion; ++version)
            execute(database, upgrades[version]);
        execute(database, ("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str());
        execute(database, "COMMIT");
    } catch (...) {
        sqlite3_exec(database, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t millisecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The lowest and the highest y of the points in one span of x, in x order.
struct Bucket {
    bool empty = true;
    double lowX = 0, lowY = 0, highX = 0, highY = 0;

    void Add(double x, double y) {
        if (empty || y < lowY) lowX = x, lowY = y;
        if (empty || y > highY) highX = x, highY = y;
        empty = false;
    }
    void AppendTo(Json& points) const {
        if (empty) return;
        const bool lowFirst = lowX <= highX;
        points.push_back({lowFirst ? lowX : highX, lowFirst ? lowY : highY});
        if (lowX != highX || lowY != highY) points.push_back({lowFirst ? highX : lowX, lowFirst ? highY : lowY});
    }
};

using Points = std::vector<std::pair<double, double>>;

// At most maxPoints points in x order: beyond that, each of maxPoints/2
// equal spans of x keeps its lowest and highest y.
Json downsample(Points& points, std::size_t maxPoints) {
    std::sort(points.begin(), points.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Json answer = Json::array();
    if (points.size() <= maxPoints) {
        for (const auto& [x, y] : points) answer.push_back({x, y});
        return answer;
    }
    const double low = points.front().first, high = points.back().first;
    std::vector<Bucket> buckets(maxPoints / 2);
    const double width = (high - low) / static_cast<double>(buckets.size());
    for (const auto& [x, y] : points) {
        const double index = width > 0 ? (x - low) / width : 0;
        buckets[std::min(buckets.size() - 1, static_cast<std::size_t>(std::max(0.0, index)))].Add(x, y);
    }
    for (const Bucket& bucket : buckets) bucket.AppendTo(answer);
    return answer;
}

// The state a job's row has once it has ended.
bool ended(const ipm_JobRecord& job) { return !job.Live(); }

// A JSON path to a top-level member; none for names that would need escapes.
std::string pathTo(const std::string& name) {
    if (name.find_first_of("\"\\") != std::string::npos) return {};
    return "$.\"" + name + "\"";
}

// One field's points against the message time or number, from the series'
// summary: the spans of the coarsest level that still gives about maxPoints/2
// of them over the range, finer spans towards its ends, and the messages
// themselves in the level-1 spans at the ends and after the last complete one.
class SummaryReader {
public:
    SummaryReader(sqlite3* database, std::int64_t job, const std::string& field, const std::string& path,
                  bool byNumber, double from, double to, std::size_t maxPoints)
        : job(job), field(field), path(path), byNumber(byNumber), from(from), to(to), maxPoints(maxPoints),
          extent(database, "SELECT spans, last_id FROM series_extent WHERE job = ?"),
          firstSpan(database, "SELECT span FROM series WHERE job = ?1 AND field = ?2 AND level = 1"
                              " AND last_time >= ?3 ORDER BY span LIMIT 1"),
          lastSpan(database, "SELECT span FROM series WHERE job = ?1 AND field = ?2 AND level = 1"
                             " AND first_time <= ?3 ORDER BY span DESC LIMIT 1"),
          firstIdOf(database, "SELECT span, first_id FROM series WHERE job = ?1 AND field = ?2 AND level = 1"
                              " AND span BETWEEN ?3 AND ?4 ORDER BY span LIMIT 1"),
          spans(database, "SELECT low_number, low_time, low, high_number, high_time, high FROM series"
                          " WHERE job = ?1 AND field = ?2 AND level = ?3 AND span BETWEEN ?4 AND ?5"),
          messages(database, "SELECT time, json_extract(fields, ?3) FROM messages WHERE job = ?1 AND id > ?2"
                             " ORDER BY id LIMIT ?4") {}

    Points Read() {
        std::int64_t complete = 0, lastId = 0;
        extent.Bind(1, job);
        if (extent.Step()) complete = extent.Integer(0), lastId = extent.Integer(1);
        if (complete > 0) {
            const auto [first, last] = Ends(complete);
            if ((last - first + 1) * ipm_SeriesSummary::firstLength <= static_cast<std::int64_t>(maxPoints)) {
                ReadMessagesOf(first, last);
            } else {
                ReadMessagesOf(first, first);
                ReadMessagesOf(last, last);
                Cover(first + 1, last - 1);
            }
        }
        ReadMessages(lastId, complete * ipm_SeriesSummary::firstLength + 1, -1);
        return std::move(points);
    }

private:
    // The first and last level-1 spans (of the `complete` ones) in range.
    std::pair<std::int64_t, std::int64_t> Ends(std::int64_t complete) {
        if (byNumber) {
            const double length = static_cast<double>(ipm_SeriesSummary::firstLength);
            const double first = std::floor((std::max(from, 1.0) - 1) / length);
            const double last = std::floor((std::min(to, static_cast<double>(complete) * length) - 1) / length);
            if (first > last) return {1, 0};
            return {static_cast<std::int64_t>(first), static_cast<std::int64_t>(last)};
        }
        const auto spanWhere = [&](Statement& query, double bound) {
            query.Reset().Bind(1, job).Bind(2, field).Bind(3, bound);
            return query.Step() ? query.Integer(0) : std::int64_t{-1};
        };
        const std::int64_t first = spanWhere(firstSpan, from), last = spanWhere(lastSpan, to);
        if (first < 0 || last < 0) return {1, 0};
        return {first, std::min(last, complete - 1)};
    }

    // Level-1 spans `first` to `last`: whole spans of the level above where
    // they fit, up to the level that gives about maxPoints/2 of them.
    void Cover(std::int64_t first, std::int64_t last) {
        if (first > last) return;
        const auto count = [&](int level) {
            return (last - first + 1) * ipm_SeriesSummary::firstLength / ipm_SeriesSummary::Length(level);
        };
        int top = 1;
        while (top < ipm_SeriesSummary::maxLevel && count(top + 1) >= static_cast<std::int64_t>(maxPoints / 2)) ++top;
        CoverAt(1, first, last, top);
    }

    void CoverAt(int level, std::int64_t first, std::int64_t last, int top) {
        if (first > last) return;
        constexpr std::int64_t factor = ipm_SeriesSummary::factor;
        const std::int64_t above = (first + factor - 1) / factor, aboveLast = (last + 1) / factor - 1;
        if (level < top && above <= aboveLast) {
            ReadSpans(level, first, above * factor - 1);
            ReadSpans(level, (aboveLast + 1) * factor, last);
            CoverAt(level + 1, above, aboveLast, top);
        } else {
            ReadSpans(level, first, last);
        }
    }

    void ReadSpans(int level, std::int64_t first, std::int64_t last) {
        if (first > last) return;
        spans.Reset().Bind(1, job).Bind(2, field).Bind(3, std::int64_t{level}).Bind(4, first).Bind(5, last);
        while (spans.Step()) {
            for (const int column : {0, 3}) {
                Add(static_cast<double>(spans.Integer(byNumber ? column : column + 1)), spans.Real(column + 2));
            }
        }
    }

    // The messages of level-1 spans `first` to `last`, from the first that
    // holds a value of the field.
    void ReadMessagesOf(std::int64_t first, std::int64_t last) {
        if (first > last) return;
        firstIdOf.Reset().Bind(1, job).Bind(2, field).Bind(3, first).Bind(4, last);
        if (!firstIdOf.Step()) return;
        const std::int64_t span = firstIdOf.Integer(0);
        ReadMessages(firstIdOf.Integer(1) - 1, span * ipm_SeriesSummary::firstLength + 1,
                     (last - span + 1) * ipm_SeriesSummary::firstLength);
    }

    // At most `limit` (all for -1) messages after `afterId`, the first of
    // them the job's message number `number`.
    void ReadMessages(std::int64_t afterId, std::int64_t number, std::int64_t limit) {
        messages.Reset().Bind(1, job).Bind(2, afterId).Bind(3, path).Bind(4, limit);
        for (; messages.Step(); ++number) {
            if (!messages.IsNumber(1)) continue;
            Add(static_cast<double>(byNumber ? number : messages.Integer(0)), messages.Real(1));
        }
    }

    void Add(double x, double y) {
        if (x >= from && x <= to) points.emplace_back(x, y);
    }

    std::int64_t job;
    const std::string& field;
    const std::string& path;
    bool byNumber;
    double from, to;
    std::size_t maxPoints;
    Statement extent, firstSpan, lastSpan, firstIdOf, spans, messages;
    Points points;
};

}  // namespace

ipm_History::ipm_History(const std::string& file, unsigned keepDays) : file(file), keepDays(keepDays) {
    const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
    if (!std::filesystem::is_directory(folder)) {
        throw std::runtime_error("cannot open the history " + file + ": the folder " + folder.string() +
                                 " does not exist");
    }
    writer = open(file);
    try {
        // Big pages, so that a batch is written in fewer calls; a history
        // made before keeps its own.
        execute(writer, "PRAGMA page_size = 32768");
        execute(writer, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;");
        // Room for a whole batch's pages: a smaller cache spills them to the
        // log one by one in the middle of the transaction.
        execute(writer, "PRAGMA cache_size = -32768");
        upgrade(writer);
        nextId = ReserveBlockNow();
        idEnd = nextId + idBlock;
        reader = open(file);
        checkpoint = std::make_unique<ipm_HistoryCheckpoint>(file, writer, writeLock);
    } catch (const std::exception& error) {
        sqlite3_close(reader);
        sqlite3_close(writer);
        throw std::runtime_error("cannot use the history " + file + ": " + error.what());
    }
    writerThread = std::thread(&ipm_History::Write, this);
}

ipm_History::~ipm_History() {
    {
        std::lock_guard lock(queueLock);
        closing = true;
    }
    queueChanged.notify_all();
    writerThread.join();
    CommitJobs();
    checkpoint.reset();
    sqlite3_close(reader);
    sqlite3_close(writer);
}

void ipm_History::EndOrphanedJobs() {
    std::lock_guard lock(writeLock);
    CommitOpenJobs();
    execute(writer, "UPDATE jobs SET state = 'unreachable' WHERE state IN ('running', 'silent')");
}

std::vector<ipm_JobRecord> ipm_History::Jobs(std::int64_t from) {
    std::lock_guard lock(readLock);
    Statement select(reader,
                     (std::string("SELECT id, ") + jobColumns + " FROM jobs WHERE id >= ? ORDER BY id").c_str());
    select.Bind(1, from);
    std::vector<ipm_JobRecord> jobs;
    while (select.Step()) jobs.push_back(jobFrom(select));
    return jobs;
}

// The row goes into a transaction left open for the jobs that follow until
// CommitJobs (or the writer's next batch): a burst of jobs costs no commit each.
std::int64_t ipm_History::AddJob(const ipm_JobRecord& job) {
    std::lock_guard lock(writeLock);
    if (!jobsOpen) execute(writer, "BEGIN IMMEDIATE");
    jobsOpen = true;
    try {
        Statement insert(writer, (std::string("INSERT INTO jobs(") + jobColumns +
                                  ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)").c_str());
        bindJob(insert, job, 1);
        insert.Run();
    } catch (const std::exception&) {
        sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
        jobsOpen = false;
        throw;
    }
    return sqlite3_last_insert_rowid(writer);
}

// Whoever holds the write lock commits the jobs first (the writer with its
// batch): the loop never waits for it here, not even while writes fail.
void ipm_History::CommitJobs() {
    if (!jobsOpen) return;
    const std::unique_lock lock(writeLock, std::try_to_lock);
    if (lock) CommitOpenJobs();
}

void ipm_History::CommitOpenJobs() {
    if (!jobsOpen.exchange(false)) return;
    if (sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return;
    // The rows come again with the jobs' next change, which the writer stores.
    const std::string why = sqlite3_errmsg(writer);
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    ipm_Console::Report("warning: history: new jobs not written yet: " + why);
}

std::int64_t ipm_History::Store(ipm_MessageRecord&& message) {
    std::int64_t id = 0;
    {
        std::unique_lock lock(queueLock);
        queueChanged.wait(lock, [&] { return failing || queued.messages.size() < maxQueued; });
        if (!(failing && queued.messages.size() + held >= maxQueued)) id = TakeId(lock);
        if (id == 0) {
            ++dropped;
            return 0;
        }
    }
    {
        std::lock_guard lock(storedLock);
        if (stored) stored(id, message);
    }
    std::lock_guard lock(queueLock);
    queued.messages.push_back(std::move(message));
    queued.ids.push_back(id);
    if (!spent.empty()) {
        message = std::move(spent.back());
        spent.pop_back();
    }
    // The writer waits for a first message, then for a batch's worth.
    if (queued.messages.size() == 1 || queued.messages.size() == gatherBatch) queueChanged.notify_all();
    return id;
}

std::int64_t ipm_History::TakeId(std::unique_lock<std::mutex>& lock) {
    while (nextId == idEnd) {
        if (spareId != 0) {
            nextId = spareId;
            idEnd = spareId + idBlock;
            spareId = 0;
            break;
        }
        lock.unlock();
        std::int64_t block = 0;
        try {
            block = ReserveBlockNow();
        } catch (const std::exception& error) {
            // The same outage as the writer's: said once, with its recovery.
            ReportOutcome(false, error.what());
        }
        lock.lock();
        if (block == 0) return 0;
        if (spareId == 0) spareId = block;
    }
    return nextId++;
}

std::int64_t ipm_History::ReserveBlock() {
    // Above every id given so far, also in a history that had no blocks yet.
    Statement next(writer, "SELECT max(coalesce((SELECT next FROM id_blocks WHERE name = 'messages'), 1),"
                           " (SELECT coalesce(max(id), 0) + 1 FROM messages))");
    next.Step();
    const std::int64_t first = next.Integer(0);
    Statement keep(writer, "INSERT OR REPLACE INTO id_blocks(name, next) VALUES('messages', ?)");
    keep.Bind(1, first + idBlock).Run();
    return first;
}

std::int64_t ipm_History::ReserveBlockNow() {
    std::lock_guard lock(writeLock);
    CommitOpenJobs();
    execute(writer, "BEGIN IMMEDIATE");
    try {
        const std::int64_t first = ReserveBlock();
        execute(writer, "COMMIT");
        return first;
    } catch (const std::exception&) {
        sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void ipm_History::Store(const ipm_JobRecord& job) {
    std::lock_guard lock(queueLock);
    queued.jobs[job.id] = job;
    if (queued.jobs.size() == 1) queueChanged.notify_all();
}

bool ipm_History::Flush() {
    std::unique_lock lock(queueLock);
    queueChanged.wait(lock, [&] {
        return failing || (queued.messages.empty() && queued.jobs.empty() && !writing && held == 0);
    });
    return !failing;
}

std::int64_t ipm_History::ImportedAs(const std::string& digest) {
    std::lock_guard lock(readLock);
    Statement select(reader, "SELECT job FROM imports WHERE digest = ?");
    select.Bind(1, digest);
    return select.Step() ? select.Integer(0) : 0;
}

void ipm_History::RecordImport(const std::string& digest, const std::string& file, std::int64_t job) {
    std::lock_guard lock(writeLock);
    CommitOpenJobs();
    Statement insert(writer, "INSERT OR REPLACE INTO imports(digest, file, job) VALUES(?,?,?)");
    insert.Bind(1, digest).Bind(2, file).Bind(3, job).Run();
}

std::string ipm_History::Messages(std::int64_t job, std::int64_t after, std::int64_t before, const std::string& type,
                                  int limit) {
    std::lock_guard lock(readLock);
    Statement select(reader, before == 0 ? "SELECT id, time, type, fields FROM messages WHERE job = ?1 AND id > ?2"
                                           " AND (?4 = '' OR type = ?4) ORDER BY id LIMIT ?5"
                                         : "SELECT id, time, type, fields FROM messages WHERE job = ?1 AND id > ?2"
                                           " AND id < ?3 AND (?4 = '' OR type = ?4) ORDER BY id DESC LIMIT ?5");
    select.Bind(1, job).Bind(2, after).Bind(3, before).Bind(4, type).Bind(5, std::int64_t{limit});
    std::string answer = "{\"messages\":[";
    std::int64_t next = before == 0 ? after : before;
    ipm_MessageRecord message;
    while (select.Step()) {
        next = select.Integer(0);
        message.time = select.Integer(1);
        message.type = select.View(2);
        message.fields = select.View(3);
        if (answer.back() != '[') answer += ',';
        answer += message.ToJson(next);
    }
    return answer + "],\"next\":" + std::to_string(next) + "}";
}

Json ipm_History::MessageTypes(std::int64_t job) {
    std::lock_guard lock(readLock);
    // One statement: the counts and the newest message are of one moment.
    Statement select(reader,
                     "SELECT type, count, (SELECT max(id) FROM messages WHERE job = ?1) FROM message_types"
                     " WHERE job = ?1 AND count > 0 ORDER BY type");
    select.Bind(1, job);
    Json types = Json::object();
    std::int64_t through = 0;
    while (select.Step()) {
        types[select.Text(0)] = select.Integer(1);
        through = select.Integer(2);
    }
    return Json{{"types", std::move(types)}, {"through", through}};
}

std::vector<std::string> ipm_History::FieldNames(std::int64_t job) {
    std::lock_guard lock(readLock);
    Statement select(reader, "SELECT key FROM messages, json_each(messages.fields) WHERE job = ?1"
                             " GROUP BY key ORDER BY min(messages.id), min(json_each.id)");
    select.Bind(1, job);
    std::vector<std::string> names;
    while (select.Step()) names.emplace_back(select.View(0));
    return names;
}

std::vector<std::string> ipm_History::NumericFields(std::int64_t job) {
    std::lock_guard lock(readLock);
    // The summary's fields one index step each (its key starts with the job
    // and the field), and those of the messages it does not hold yet.
    Statement select(reader,
                     "WITH RECURSIVE summarised(name) AS ("
                     " SELECT min(field) FROM series WHERE job = ?1"
                     " UNION ALL SELECT (SELECT min(field) FROM series WHERE job = ?1 AND field > name)"
                     " FROM summarised WHERE name IS NOT NULL),"
                     " newest(fields) AS (SELECT fields FROM messages WHERE job = ?1 ORDER BY id DESC LIMIT 1)"
                     " SELECT key, 0, json_each.id FROM newest, json_each(newest.fields)"
                     " WHERE json_each.type IN ('integer', 'real')"
                     " UNION ALL SELECT key, 1, 0 FROM messages, json_each(messages.fields) WHERE job = ?1"
                     " AND messages.id > coalesce((SELECT last_id FROM series_extent WHERE job = ?1), 0)"
                     " AND json_each.type IN ('integer', 'real')"
                     " UNION ALL SELECT name, 1, 0 FROM summarised WHERE name IS NOT NULL ORDER BY 2, 3, 1");
    select.Bind(1, job);
    std::vector<std::string> names;
    while (select.Step()) {
        const std::string_view name = select.View(0);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
    }
    return names;
}

Json ipm_History::Series(std::int64_t job, const std::string& field, const std::string& x, double from, double to) {
    const std::string yPath = pathTo(field);
    const bool summarised = x == "time" || x == "#";
    const std::string xPath = summarised ? "" : pathTo(x);
    if (yPath.empty() || (!summarised && xPath.empty())) return Json::array();
    // A connection per answer, so that a page's charts load side by side;
    // one transaction, so that all its reads see the same history.
    const Connection connection(file);
    execute(connection.database, "BEGIN");
    Points points;
    if (summarised) {
        points = SummaryReader(connection.database, job, field, yPath, x == "#", from, to, maxPoints).Read();
    } else {
        Statement select(connection.database,
                         "SELECT x, y FROM (SELECT json_extract(fields, ?2) AS x, json_extract(fields, ?3) AS y"
                         " FROM messages WHERE job = ?1 ORDER BY id) WHERE typeof(x) IN ('integer', 'real')"
                         " AND typeof(y) IN ('integer', 'real') AND x BETWEEN ?4 AND ?5");
        select.Bind(1, job).Bind(2, xPath).Bind(3, yPath).Bind(4, from).Bind(5, to);
        while (select.Step()) points.emplace_back(select.Real(0), select.Real(1));
    }
    return downsample(points, maxPoints);
}

void ipm_History::Write() {
    Batch batch;
    bool reserve = false;
    for (;;) {
        {
            std::unique_lock lock(queueLock);
            const auto ready = [&] {
                return closing || (!failing && (!queued.messages.empty() || !queued.jobs.empty()));
            };
            if (failing) {
                queueChanged.wait_for(lock, retryInterval, ready);
            } else if (keepDays) {
                queueChanged.wait_until(lock, nextRetention, ready);
            } else {
                queueChanged.wait(lock, ready);
            }
            if (!failing) {
                queueChanged.wait_for(lock, gatherTime,
                                      [&] { return closing || queued.messages.size() >= gatherBatch; });
            }
            if (closing && queued.messages.empty() && queued.jobs.empty() && batch.messages.empty() &&
                batch.jobs.empty()) {
                return;
            }
            TakeQueued(batch);
            held = batch.messages.size();
            writing = true;
            // Half a block ahead, so that taking an id never waits for the database.
            reserve = spareId == 0 && nextId - (idEnd - idBlock) > idBlock / 2;
            queueChanged.notify_all();
        }
        Summarise(batch);
        std::int64_t reserved = 0;
        std::string why;
        const bool written = WriteBatch(batch, reserve, reserved, why);
        if (reserved != 0) {
            std::lock_guard lock(queueLock);
            if (spareId == 0) spareId = reserved;
        }
        ReportOutcome(written, why);
        bool giveUp = false;
        {
            std::lock_guard lock(queueLock);
            giveUp = closing && !written;
        }
        if (giveUp) {
            ipm_Console::Report("warning: history: " + std::to_string(batch.messages.size()) +
                                " messages not written before the end");
        }
        const bool done = written || giveUp;
        if (done) EmptyBatch(batch);
        if (written && keepDays && std::chrono::steady_clock::now() >= nextRetention) ApplyRetention();
        std::lock_guard lock(queueLock);
        if (done) Recycle(batch.messages);
        held = batch.messages.size();
        writing = false;
        queueChanged.notify_all();
    }
}

// The batch's lists keep their room for the next batches (the queue takes
// them over): a batch then costs no growing list and no fresh pages.
void ipm_History::EmptyBatch(Batch& batch) {
    std::vector<ipm_MessageRecord> messages = std::move(batch.messages);
    std::vector<std::int64_t> ids = std::move(batch.ids);
    batch = {};
    batch.messages = std::move(messages);
    ids.clear();
    batch.ids = std::move(ids);
}

// The records of a written batch, which leave `written` empty: a queue's
// worth at most is kept, and none of an unusually big message, so that
// what is kept stays about what the queue of usual messages holds anyway.
void ipm_History::Recycle(std::vector<ipm_MessageRecord>& written) {
    constexpr std::size_t keptRoom = 4096;
    const auto usual = [](const ipm_MessageRecord& record) {
        std::size_t room = record.fields.capacity() + record.types.capacity();
        for (const auto& field : record.read.fields)
            room += field.name.capacity() + field.type.capacity() + field.value.capacity();
        return room <= keptRoom && record.read.fields.capacity() <= 64;
    };
    for (auto& record : written)
        if (spent.size() < maxQueued && usual(record)) spent.push_back(std::move(record));
    written.clear();
}

void ipm_History::TakeQueued(Batch& batch) {
    if (batch.messages.empty()) {
        batch.messages.swap(queued.messages);
        batch.ids.swap(queued.ids);
    } else {
        std::move(queued.messages.begin(), queued.messages.end(), std::back_inserter(batch.messages));
        batch.ids.insert(batch.ids.end(), queued.ids.begin(), queued.ids.end());
        queued.messages.clear();
        queued.ids.clear();
    }
    for (auto& [id, job] : queued.jobs) batch.jobs[id] = std::move(job);
    queued.jobs.clear();
}

void ipm_History::Summarise(Batch& batch) {
    // Records ahead of the one encoded: their own lines first, their content
    // once those have come.
    constexpr std::size_t recordsAhead = 8, contentAhead = 4;
    const std::size_t count = batch.messages.size();
    for (std::size_t i = batch.summarised; i < std::min(count, batch.summarised + recordsAhead); ++i)
        batch.messages[i].PrefetchRecord();
    for (; batch.summarised < count; ++batch.summarised) {
        if (batch.summarised + recordsAhead < count) batch.messages[batch.summarised + recordsAhead].PrefetchRecord();
        if (batch.summarised + contentAhead < count) batch.messages[batch.summarised + contentAhead].PrefetchContent();
        ipm_MessageRecord& message = batch.messages[batch.summarised];
        message.Encode();
        summary.Add(message.job, batch.ids[batch.summarised], message.time, message.numbers, batch.spans,
                    batch.extents);
    }
    for (const auto& [id, job] : batch.jobs) {
        if (ended(job)) summary.Forget(id);
    }
}

bool ipm_History::WriteBatch(const Batch& batch, bool reserve, std::int64_t& reserved, std::string& why) {
    std::lock_guard lock(writeLock);
    try {
        // The jobs added since the last batch are in the transaction already.
        if (!jobsOpen.exchange(false)) execute(writer, "BEGIN IMMEDIATE");
        Statement insertMessage(writer,
                                "INSERT INTO messages(id, job, time, type, fields, types) VALUES(?,?,?,?,?,?)");
        for (std::size_t i = 0; i < batch.messages.size(); ++i) {
            const ipm_MessageRecord& message = batch.messages[i];
            insertMessage.Bind(1, batch.ids[i]).Bind(2, message.job).Bind(3, message.time).Bind(4, message.type);
            insertMessage.Bind(5, message.fields).Bind(6, message.types).Run();
        }
        Statement countType(writer,
                            "INSERT INTO message_types(job, type, count) VALUES(?,?,?)"
                            " ON CONFLICT(job, type) DO UPDATE SET count = count + excluded.count");
        for (const auto& [jobAndType, count] : typeCounts(batch.messages))
            countType.Bind(1, jobAndType.first).Bind(2, jobAndType.second).Bind(3, count).Run();
        Statement insertSpan(writer, "INSERT OR REPLACE INTO series VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        for (const auto& span : batch.spans) {
            insertSpan.Bind(1, span.job).Bind(2, span.field).Bind(3, std::int64_t{span.level}).Bind(4, span.index);
            insertSpan.Bind(5, span.firstId).Bind(6, span.lastId).Bind(7, span.firstTime).Bind(8, span.lastTime);
            insertSpan.Bind(9, span.low.number).Bind(10, span.low.time).Bind(11, span.low.value);
            insertSpan.Bind(12, span.high.number).Bind(13, span.high.time).Bind(14, span.high.value).Run();
        }
        Statement upsertExtent(writer, "INSERT OR REPLACE INTO series_extent(job, spans, last_id) VALUES(?,?,?)");
        for (const auto& [job, extent] : batch.extents) upsertExtent.Bind(1, job).Bind(2, extent.spans).Bind(3, extent.lastId).Run();
        Statement upsertJob(writer, (std::string("INSERT OR REPLACE INTO jobs(id, ") + jobColumns +
                                     ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)").c_str());
        for (const auto& [id, job] : batch.jobs) {
            upsertJob.Bind(1, id);
            bindJob(upsertJob, job, 2);
            upsertJob.Run();
        }
        const std::int64_t block = reserve ? ReserveBlock() : 0;
        execute(writer, "COMMIT");
        reserved = block;
        return true;
    } catch (const std::exception&) {
        why = sqlite3_errmsg(writer);
        sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
}

void ipm_History::OnStored(StoredHandler handler) {
    std::lock_guard lock(storedLock);
    stored = std::move(handler);
}

// Each outage and each recovery said once.
void ipm_History::ReportOutcome(bool written, const std::string& why) {
    std::string report;
    {
        std::lock_guard lock(queueLock);
        if (written == !failing) return;
        failing = !written;
        if (failing) {
            report = "warning: history not written: " + why + "; trying again every second, up to " +
                     std::to_string(2 * maxQueued) + " messages kept meanwhile";
        } else {
            report = "history written again";
            if (dropped) report += "; " + std::to_string(dropped) + " messages could not be kept meanwhile";
            dropped = 0;
        }
        queueChanged.notify_all();
    }
    ipm_Console::Report(report);
}

// Deletes old messages a chunk at a time, between batches, so that writing
// goes on meanwhile; the space they held is used again.
void ipm_History::ApplyRetention() {
    const std::int64_t cutoff = millisecondsSinceEpoch() - std::int64_t{keepDays} * 24 * 3600 * 1000;
    std::lock_guard lock(writeLock);
    try {
        CommitOpenJobs();
        Statement remove(writer, "DELETE FROM messages WHERE id IN (SELECT id FROM messages WHERE time < ?"
                                 " ORDER BY id LIMIT ?)");
        remove.Bind(1, cutoff).Bind(2, std::int64_t{retentionChunk}).Run();
        if (sqlite3_changes(writer) < retentionChunk) {
            Statement(writer, "DELETE FROM series WHERE last_time < ?").Bind(1, cutoff).Run();
            nextRetention = std::chrono::steady_clock::now() + retentionInterval;
        }
    } catch (const std::exception& error) {
        ipm_Console::Report(std::string("warning: old history not deleted: ") + error.what());
        nextRetention = std::chrono::steady_clock::now() + retentionInterval;
    }
}
