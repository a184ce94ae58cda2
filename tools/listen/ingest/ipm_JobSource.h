#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "csp/csp_WaitSet.h"
#include "jcl/jcl_Node.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"

// Where jobs come from (the TCP port, the Jabber connection, a log): served by the
// listener's one loop. A source names what it waits on, serves
// what arrives on them, tells the loop what its jobs do through Events and
// carries the loop's requests to them. Sources print what only their
// transport knows (where a job is); the loop prints the rest.
class ipm_JobSource {
public:
    // One job, owned by its source from Events::Connected until Events::Ended.
    struct Job {
        std::string name;
        // The monitor's number for the job; 0 while it has none.
        std::int64_t monitorId = 0;
        std::size_t messages = 0;
    };

    // The loop's side.
    class Events {
    public:
        // The job has told its name; `peer` is where it is, for the monitor.
        virtual void Connected(ipm_JobSource& source, Job& job, const std::string& peer) = 0;
        // A document as the job sent it.
        virtual void Report(Job& job, const std::string& document) = 0;
        // A report's extension element as the connection parsed it.
        virtual void Report(Job& job, const jcl_Node& report) = 0;
        // A document the source has read already.
        virtual void Report(Job& job, const std::string& document, const ipm_DocumentReader::Message& message) = 0;
        // The job's connection has ended, orderly when `why` is empty; also
        // for a connection that ended before its job said its name.
        virtual void Ended(Job& job, const std::string& why) = 0;
        // The source has given up on the job for `why`.
        virtual void Dropped(Job& job, const std::string& why) = 0;
        // A request sent earlier did not reach the job.
        virtual void RequestFailed(Job& job, const std::string& why) = 0;

    protected:
        ~Events() = default;
    };

    // The key a source registers its sockets with: the loop hands what a
    // wait found back to `source`, which knows `item`.
    struct Watched {
        ipm_JobSource* source;
        void* item;
    };

    virtual ~ipm_JobSource() = default;

    // The monitor's name for the transport, one of ipm_Vocabulary's.
    virtual const char* Transport() const = 0;
    // Registers the sockets to wait on, each keyed by a Watched, and keeps
    // `waits` (which outlives the source) for the sockets to come.
    virtual void Watch(csp_WaitSet& waits) = 0;
    // Milliseconds until the source is to be served though nothing arrived;
    // negative for never.
    virtual int Timeout() = 0;
    // Serves what a wait found (a csp_WaitSet::Event mask) on the socket
    // registered with `item`. Throws std::runtime_error when the source can
    // serve no longer.
    virtual void Serve(void* item, unsigned found, Events& events) = 0;
    // Called after every wait, once its sockets are served, whatever was
    // found. Throws as Serve does.
    virtual void Settle(Events& events) = 0;
    // Sends `request` ("Kill") to one of this source's jobs: empty when it is
    // on its way, else why it cannot go.
    virtual std::string Send(Job& job, const std::string& request) = 0;
    // Nothing more will come from the source; the loop ends once every
    // source has finished.
    virtual bool Finished() const { return false; }
};
