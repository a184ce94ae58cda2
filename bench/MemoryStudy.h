#pragma once

#include <ostream>

class BenchJob;
class ProgressMessages;

// Resident memory and heap allocations over a million buffered sends with
// the message task running. The task sends one message per 60 ms, so the
// buffer must keep nearly every progress message of such a run: two runs tell
// that cost apart from the rest. Error messages beyond their cap go through
// everything a buffered message does (encoding, the log, the caps) except
// being kept, so their run must stay flat; progress messages show what each
// kept message costs, and whether sending slows down as the buffer grows.
class MemoryStudy {
public:
    MemoryStudy(BenchJob& job, ProgressMessages& messages) : job(job), messages(messages) {}

    void Run(std::ostream& out);

private:
    void Measure(std::ostream& out, const char* title, const char* type);

    BenchJob& job;
    ProgressMessages& messages;
};
