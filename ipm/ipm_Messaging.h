#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/ipm_export.h"
#include "ipm/ipm.h"
#include "ipm/ipm_Request.h"

// The library wired up for a job in one object: it starts the library,
// installs the transport named "direct" or "jabber", and runs the message
// task on a thread of its own, which starts the transport in the background.
// The job's options (job, message, indir, ...) come from its command line.
// Send with ipm_sendMessage; destruction (or Stop) delivers what is still
// buffered, within a bound, and shuts everything down.
//
// Requests: the job offers the requests it understands (OfferRequests), takes
// the next pending one at a safe point of its own (TakeRequest, which never
// waits) and answers each (AnswerRequest). A job that offers nothing sends
// nothing more than before, and no request reaches it.
class IPM_EXPORT ipm_Messaging {
public:
    // Throws std::invalid_argument for another transport name.
    explicit ipm_Messaging(std::string_view transport = "direct");
    ~ipm_Messaging();
    ipm_Messaging(const ipm_Messaging&) = delete;
    ipm_Messaging& operator=(const ipm_Messaging&) = delete;

    // Ends the message task once it has delivered what is buffered and the
    // job's last message, "JobEnded", and stops the library. False when the task did not end within the stop's bound:
    // the log is written out and the library is left running.
    bool Stop();
    // True once the listener has asked the job to stop.
    static bool KillRequested();
    // True on the message task's own thread (in a kill handler, say).
    static bool OnMessageThread();

    static constexpr size_t maxOffered = 16;
    static constexpr size_t maxAnswerBytes = 1024;
    // Offers requests as (name, label) pairs, replacing an earlier offer;
    // an empty list withdraws it. Sends a "RequestsOffered" message.
    // std::invalid_argument for a name that is not valid (ipm_Request), a
    // name given twice, more than maxOffered, or a label that is empty or
    // is no valid value.
    void OfferRequests(const std::vector<std::pair<std::string, std::string>>& requests);
    // The oldest pending request, or none; never waits. A request for a name
    // not offered is refused on the way.
    std::optional<ipm_Request> TakeRequest();
    // Answers a taken request with a "RequestAnswered" message; `text` is cut
    // to maxAnswerBytes. std::invalid_argument for an id that was not taken
    // or is already answered.
    void AnswerRequest(int id, ipm_Request::Outcome outcome, std::string_view text = {});

private:
    struct Run;
    std::unique_ptr<Run> run;
};
