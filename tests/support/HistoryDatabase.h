#pragma once

#include <sqlite3.h>

#include <string>

// The history as another process sees it. It waits, as the listener's
// writer does, while the other side holds the write lock, so that taking the
// lock in a test cannot fail because the writer happened to be writing.
class HistoryDatabase {
public:
    explicit HistoryDatabase(const std::string& file) {
        sqlite3_open(file.c_str(), &database);
        sqlite3_busy_timeout(database, 30000);
    }
    ~HistoryDatabase() { sqlite3_close(database); }
    // Empty when the statements ran, else why they did not.
    std::string Execute(const std::string& sql) {
        return sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? ""
                                                                                           : sqlite3_errmsg(database);
    }
    long long Count(const std::string& where) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(database, ("SELECT count(*) FROM " + where).c_str(), -1, &statement, nullptr);
        const long long count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
        sqlite3_finalize(statement);
        return count;
    }

private:
    sqlite3* database = nullptr;
};
