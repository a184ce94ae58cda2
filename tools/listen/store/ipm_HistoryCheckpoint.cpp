#include "tools/listen/store/ipm_HistoryCheckpoint.h"

#include <sqlite3.h>

#include <stdexcept>

ipm_HistoryCheckpoint::ipm_HistoryCheckpoint(const std::string& file, sqlite3* writer, std::mutex& writes,
                                             int logPages)
    : writer(writer), writes(writes), logPages(logPages) {
    if (sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK ||
        // A connection copies the log only once it has read the database.
        sqlite3_exec(database, "PRAGMA journal_mode", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string why = database ? sqlite3_errmsg(database) : "out of memory";
        sqlite3_close(database);
        throw std::runtime_error("cannot copy the history's log: " + why);
    }
    thread = std::thread(&ipm_HistoryCheckpoint::Run, this);
    std::lock_guard held(writes);
    sqlite3_wal_hook(writer, &ipm_HistoryCheckpoint::Committed, this);
}

ipm_HistoryCheckpoint::~ipm_HistoryCheckpoint() {
    {
        std::lock_guard held(writes);
        sqlite3_wal_autocheckpoint(writer, defaultLogPages);
    }
    {
        std::lock_guard held(lock);
        stopping = true;
    }
    changed.notify_one();
    thread.join();
    sqlite3_close(database);
}

int ipm_HistoryCheckpoint::Committed(void* self, sqlite3*, const char*, int pages) {
    auto& checkpoint = *static_cast<ipm_HistoryCheckpoint*>(self);
    bool wake = false;
    {
        std::lock_guard held(checkpoint.lock);
        // Fewer pages than were copied: the log has started over.
        if (pages < checkpoint.copied) checkpoint.copied = 0;
        checkpoint.logged = pages;
        wake = pages - checkpoint.copied >= checkpoint.logPages;
        checkpoint.wanted = checkpoint.wanted || wake;
    }
    if (wake) checkpoint.changed.notify_one();
    return SQLITE_OK;
}

void ipm_HistoryCheckpoint::Run() {
    std::unique_lock held(lock);
    for (;;) {
        changed.wait(held, [&] { return stopping || wanted; });
        if (stopping) return;
        wanted = false;
        const int upTo = logged;
        held.unlock();
        Copy();
        held.lock();
        copied = upTo;
        if (logged < 4 * logPages) continue;
        held.unlock();
        std::lock_guard writesWait(writes);
        Copy();
        held.lock();
        copied = logged;
        wanted = false;
    }
}

void ipm_HistoryCheckpoint::Copy() {
    sqlite3_wal_checkpoint_v2(database, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}
