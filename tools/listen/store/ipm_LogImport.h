#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "tools/listen/ingest/ipm_DocumentSplitter.h"
#include "tools/listen/ingest/ipm_JobSource.h"
#include "tools/listen/store/ipm_Monitor.h"
#include "tools/listen/store/ipm_Vocabulary.h"

// A job's message log (the documents back to back, as the job wrote them) as
// the source of one finished job of transport "file": the loop takes its
// messages as if they had been received, a block of the file each round, and
// then its end. Once the whole log is in, the import is recorded by the
// log's content, so that the same log is not imported again.
class ipm_LogImport : public ipm_JobSource {
public:
    // The job is `name`, or the file's name without its ending when empty.
    // Throws std::runtime_error, importing nothing, when the file cannot be
    // read or was imported before (the same content).
    ipm_LogImport(ipm_Monitor& monitor, const std::string& file, const std::string& name);

    const char* Transport() const override { return ipm_Vocabulary::file.data(); }
    // A file is read, never waited for: a block at every turn of the loop.
    void Watch(csp_WaitSet& /*waits*/) override {}
    void Serve(void* /*item*/, unsigned /*found*/, Events& /*events*/) override {}
    int Timeout() override { return finished ? -1 : 0; }
    // Documents after the first that do not read are reported on standard
    // error with the file's name and line, and left out. Throws
    // std::runtime_error, saying why and importing nothing, when the file
    // cannot be read or is not a message log (its first document does not
    // read).
    void Settle(Events& events) override;
    std::string Send(Job& job, const std::string& request) override;
    bool Finished() const override { return finished; }

    // The monitor's number for the job, and how many messages it took.
    std::int64_t JobId() const { return job.monitorId; }
    std::size_t Messages() const { return job.messages; }

private:
    void Feed(std::string_view bytes, Events& events);
    void Take(const ipm_DocumentSplitter::Piece& piece, Events& events);
    void Finish(Events& events);
    // Before the first message a problem means that this is no log; after
    // it, the problem is reported with the file and line and the rest read.
    void Problem(const std::string& what) const;
    [[noreturn]] void Refuse(const std::string& why) const;

    ipm_Monitor& monitor;
    std::string file;
    std::string path;  // absolute
    std::string digest;
    std::ifstream log;
    ipm_DocumentSplitter splitter;
    Job job;
    bool connected = false;
    bool finished = false;
    // The line the splitter is at, and the one the current piece began on.
    std::size_t line = 1;
    std::size_t pieceLine = 1;
    std::array<char, 64 * 1024> block{};
};
