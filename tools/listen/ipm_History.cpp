#include "tools/listen/ipm_History.h"

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "tools/listen/ipm_Console.h"

namespace {

using Json = nlohmann::ordered_json;

const char* const schema =
    "CREATE TABLE IF NOT EXISTS jobs("
    " id INTEGER PRIMARY KEY, name TEXT NOT NULL, host TEXT NOT NULL, handle TEXT NOT NULL,"
    " transport TEXT NOT NULL, peer TEXT NOT NULL, state TEXT NOT NULL, phase TEXT NOT NULL,"
    " step, increment, time, last_message INTEGER NOT NULL, messages INTEGER NOT NULL,"
    " warnings INTEGER NOT NULL, errors INTEGER NOT NULL, started INTEGER NOT NULL,"
    " stop_outcome TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS messages("
    " id INTEGER PRIMARY KEY, job INTEGER NOT NULL, time INTEGER NOT NULL, type TEXT NOT NULL,"
    " fields TEXT NOT NULL, types TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS messages_of_job ON messages(job, id);"
    "CREATE TABLE IF NOT EXISTS imports(digest TEXT PRIMARY KEY, file TEXT NOT NULL, job INTEGER NOT NULL);"
    "UPDATE jobs SET state = 'gone' WHERE state = 'running';";

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
    Statement& Bind(int index, const std::string& text) {
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
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
    return job;
}

std::string text(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

// A JSON path to a top-level member; none for names that would need escapes.
std::string pathTo(const std::string& name) {
    if (name.find_first_of("\"\\") != std::string::npos) return {};
    return "$.\"" + name + "\"";
}

}  // namespace

ipm_History::ipm_History(const std::string& file) {
    const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
    if (!std::filesystem::is_directory(folder)) {
        throw std::runtime_error("cannot open the history " + file + ": the folder " + folder.string() +
                                 " does not exist");
    }
    writer = open(file);
    try {
        execute(writer, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;");
        execute(writer, schema);
        reader = open(file);
    } catch (const std::exception& error) {
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
    sqlite3_close(reader);
    sqlite3_close(writer);
}

std::vector<ipm_JobRecord> ipm_History::Jobs(std::int64_t from) {
    std::lock_guard lock(readLock);
    Statement select(reader,
                     "SELECT id, name, host, handle, transport, peer, state, phase, step, increment, time,"
                     " last_message, messages, warnings, errors, started, stop_outcome FROM jobs WHERE id >= ?"
                     " ORDER BY id");
    select.Bind(1, from);
    std::vector<ipm_JobRecord> jobs;
    while (select.Step()) jobs.push_back(jobFrom(select));
    return jobs;
}

std::int64_t ipm_History::LastMessageId() {
    std::lock_guard lock(readLock);
    Statement select(reader, "SELECT coalesce(max(id), 0) FROM messages");
    select.Step();
    return select.Integer(0);
}

void ipm_History::Store(const ipm_MessageRecord& message) {
    QueuedMessage queued{message.id, message.job, message.time, message.type, text(message.fields),
                         text(message.types)};
    std::unique_lock lock(queueLock);
    queueChanged.wait(lock, [&] { return queuedMessages.size() < maxQueued; });
    queuedMessages.push_back(std::move(queued));
    // Only an empty queue can have the writer waiting.
    if (queuedMessages.size() == 1) queueChanged.notify_all();
}

void ipm_History::Store(const ipm_JobRecord& job) {
    std::lock_guard lock(queueLock);
    queuedJobs[job.id] = job;
    if (queuedJobs.size() == 1) queueChanged.notify_all();
}

void ipm_History::Flush() {
    std::unique_lock lock(queueLock);
    queueChanged.wait(lock, [&] { return queuedMessages.empty() && queuedJobs.empty() && !writing; });
}

std::int64_t ipm_History::ImportedAs(const std::string& digest) {
    std::lock_guard lock(readLock);
    Statement select(reader, "SELECT job FROM imports WHERE digest = ?");
    select.Bind(1, digest);
    return select.Step() ? select.Integer(0) : 0;
}

void ipm_History::RecordImport(const std::string& digest, const std::string& file, std::int64_t job) {
    std::lock_guard lock(readLock);
    Statement insert(reader, "INSERT OR REPLACE INTO imports(digest, file, job) VALUES(?,?,?)");
    insert.Bind(1, digest).Bind(2, file).Bind(3, job).Run();
}

Json ipm_History::Messages(std::int64_t job, std::int64_t after, const std::string& type, int limit) {
    std::lock_guard lock(readLock);
    Statement select(reader,
                     "SELECT id, time, type, fields FROM messages WHERE job = ? AND id > ? AND (? = '' OR type = ?)"
                     " ORDER BY id LIMIT ?");
    select.Bind(1, job).Bind(2, after).Bind(3, type).Bind(4, type).Bind(5, std::int64_t{limit});
    Json messages = Json::array();
    std::int64_t next = after;
    while (select.Step()) {
        next = select.Integer(0);
        messages.push_back({{"id", next},
                            {"time", select.Integer(1)},
                            {"type", select.Text(2)},
                            {"fields", Json::parse(select.Text(3))}});
    }
    return {{"messages", std::move(messages)}, {"next", next}};
}

Json ipm_History::Series(std::int64_t job, const std::string& field, const std::string& x) {
    const std::string yPath = pathTo(field);
    const std::string xPath = x == "time" ? "" : pathTo(x);
    Json points = Json::array();
    if (yPath.empty() || (x != "time" && xPath.empty())) return points;
    std::lock_guard lock(readLock);
    Statement select(reader,
                     "SELECT CASE WHEN ?2 = '' THEN time ELSE json_extract(fields, ?2) END, json_extract(fields, ?3)"
                     " FROM messages WHERE job = ?1 AND json_type(fields, ?3) IN ('integer', 'real')"
                     " AND (?2 = '' OR json_type(fields, ?2) IN ('integer', 'real')) ORDER BY id");
    select.Bind(1, job).Bind(2, xPath).Bind(3, yPath);
    while (select.Step()) points.push_back({select.Value(0), select.Value(1)});
    return points;
}

void ipm_History::Write() {
    std::unique_lock lock(queueLock);
    for (;;) {
        queueChanged.wait(lock, [&] { return closing || !queuedMessages.empty() || !queuedJobs.empty(); });
        if (queuedMessages.empty() && queuedJobs.empty()) return;
        std::vector<QueuedMessage> messages;
        std::map<std::int64_t, ipm_JobRecord> jobs;
        messages.swap(queuedMessages);
        jobs.swap(queuedJobs);
        writing = true;
        queueChanged.notify_all();
        lock.unlock();
        WriteBatch(messages, jobs);
        lock.lock();
        writing = false;
        queueChanged.notify_all();
    }
}

void ipm_History::WriteBatch(const std::vector<QueuedMessage>& messages,
                             const std::map<std::int64_t, ipm_JobRecord>& jobs) {
    try {
        execute(writer, "BEGIN");
        Statement insertMessage(writer, "INSERT INTO messages(id, job, time, type, fields, types) VALUES(?,?,?,?,?,?)");
        for (const auto& message : messages) {
            insertMessage.Bind(1, message.id).Bind(2, message.job).Bind(3, message.time).Bind(4, message.type);
            insertMessage.Bind(5, message.fields).Bind(6, message.types).Run();
        }
        Statement upsertJob(writer, "INSERT OR REPLACE INTO jobs VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        for (const auto& [id, job] : jobs) {
            upsertJob.Bind(1, job.id).Bind(2, job.name).Bind(3, job.host).Bind(4, job.handle).Bind(5, job.transport);
            upsertJob.Bind(6, job.peer).Bind(7, job.state).Bind(8, job.phase).Bind(9, job.step).Bind(10, job.increment);
            upsertJob.Bind(11, job.time).Bind(12, job.lastMessage).Bind(13, job.messages).Bind(14, job.warnings);
            upsertJob.Bind(15, job.errors).Bind(16, job.started).Bind(17, job.stopOutcome).Run();
        }
        execute(writer, "COMMIT");
    } catch (const std::exception& error) {
        sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
        if (!failureReported) ipm_Console::Report(std::string("warning: history not written: ") + error.what());
        failureReported = true;
    }
}
