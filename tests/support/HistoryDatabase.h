#pragma once

#include <sqlite3.h>

#include <string>

// The history as another process sees it.
class HistoryDatabase {
public:
    explicit HistoryDatabase(const std::string& file) { sqlite3_open(file.c_str(), &database); }
    ~HistoryDatabase() { sqlite3_close(database); }
    void Execute(const std::string& sql) { sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr); }
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
