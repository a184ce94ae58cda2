#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

// Copies the history's write-ahead log into the database on a thread and a
// connection of its own. A copy ends in two syncs of the disk, which left
// the writer idle for a tenth of a second each time it copied the log
// itself, and the loop that reads the jobs idle behind it once the queue
// was full. Here the log is copied while writes go on, each time it has
// grown by `logPages` (SQLite's own default); once it holds four times as
// many, the rest is copied with writes held, which is short: only a log
// copied whole starts over at its beginning instead of growing.
class ipm_HistoryCheckpoint {
public:
    static constexpr int defaultLogPages = 1000;

    // `writes` is held by whoever writes through `writer`, whose own copying
    // this replaces. Throws std::runtime_error.
    ipm_HistoryCheckpoint(const std::string& file, sqlite3* writer, std::mutex& writes,
                          int logPages = defaultLogPages);
    // Hands copying back to `writer`, which copies what is left as it closes.
    ~ipm_HistoryCheckpoint();
    ipm_HistoryCheckpoint(const ipm_HistoryCheckpoint&) = delete;
    ipm_HistoryCheckpoint& operator=(const ipm_HistoryCheckpoint&) = delete;

private:
    // SQLite's hook after each commit, with the pages in the log.
    static int Committed(void* self, sqlite3* writer, const char* schema, int pages);
    void Run();
    // Copies what is committed; a database busy with another process's copy
    // is left for the next one.
    void Copy();

    sqlite3* writer;
    std::mutex& writes;
    const int logPages;
    sqlite3* database = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    // Pages in the log after the last commit, and those copied by the last copy.
    int logged = 0;
    int copied = 0;
    bool wanted = false;
    bool stopping = false;
    std::thread thread;
};
