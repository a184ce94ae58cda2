// ipm-job: a job that sends the messages a script on standard input asks
// for, wired to the messaging library the way a real job is, so the library
// and a listener can be exercised without writing a job.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/eli_killsig.h"
#include "foundation/omi_FatalError.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/ipm_Messaging.h"
#include "ipm/ipm_version.h"
#include "tools/job/ipm_JobCommand.h"
#include "tools/job/ipm_LineReader.h"

namespace {

constexpr const char* usage =
    R"(usage: ipm-job [-transport direct] job=NAME message=ALL [indir=DIR] listener_name=HOST direct_port=PORT
       ipm-job -transport jabber job=NAME message=ALL [indir=DIR] msgserver=SERVER
               listener_name=USER listener_resource=RESOURCE

Every argument is also an option of the messaging library, which reads the
job's command line itself (job, message, indir; listener_name, direct_port
for the direct transport; msgserver, listener_name, listener_resource for the
Jabber transport). With -transport jabber the job logs in to the Jabber
server SERVER (port 5222, also the domain of the listener's address) as its
host's account, with the job's name as resource, and reports to
USER@SERVER/RESOURCE.

Standard input holds one command per line, as a JSON object:
  {"send":"buffered","type":"Progress","format":"step=%i heading=%s","ints":[3],"doubles":[],"texts":["A&B"]}
      sends a message through the buffer; "send":"direct" sends it at once.
      Missing arrays are empty; a double may also be "nan", "inf" or "-inf".
  {"sleep":200}     pauses 200 milliseconds
  {"close":true}    sends what is buffered, ends the message task and shuts
                    the transport down (a kill request is not heard after it)
  {"offer":{"checkpoint":"Write a restart file now"}}
                    offers requests (name and label) to the listener
  {"answer":"done","text":"written"}
                    waits up to 30 s for the next request, prints
                    "request ID NAME VALUE" on standard output and answers it
                    ("done", "refused", "failed"; "none" leaves it unanswered)

Exit status: 0 at the end of input; 1 when some lines were bad (each is
reported on standard error with its line number and skipped); 2 for a usage
error; 3 when the listener sent a kill request. --version prints the version.
)";

enum ExitStatus { completed = 0, badInput = 1, usageError = 2, killed = 3 };

constexpr int inputWaitMilliseconds = 50;
constexpr auto sleepSlice = std::chrono::milliseconds(20);

using SendFunction = int (*)(const char*, const char*, int*, double*, char**);

void reportLine(int lineNumber, const std::string& problem) {
    std::cerr << "ipm-job: line " << lineNumber << ": " << problem << std::endl;
}

// A transport failure is the listener's business, not the script's: it is
// reported and the script goes on.
template <class Action>
void reportingFailures(int lineNumber, const char* what, Action action) {
    try {
        action();
    } catch (const std::exception& error) {
        reportLine(lineNumber, std::string(what) + " failed: " + error.what());
    } catch (const omi_FatalError& error) {
        reportLine(lineNumber, std::string(what) + " failed in " + error.call + ", error " +
                                   std::to_string(error.code));
    } catch (...) {
        reportLine(lineNumber, std::string(what) + " failed");
    }
}

void send(SendFunction function, ipm_JobCommand& command, int lineNumber) {
    std::vector<char*> texts = command.TextPointers();
    reportingFailures(lineNumber, "sending", [&] {
        function(command.type.c_str(), command.format.c_str(), command.integers.data(), command.doubles.data(),
                 texts.data());
    });
}

// Cut short by a kill request, which the job must answer promptly.
void sleepUnlessKilled(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!eli_killsigRaised() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            sleepSlice, end - std::chrono::steady_clock::now()));
}

// The library wired up as a job wires it, plus an early close.
class Messaging {
public:
    explicit Messaging(const cow_String& transport) : messaging(std::in_place, transport.view()) {}

    // Sends what is buffered, ends the message task and shuts the transport
    // down; a kill request is not heard after it.
    void Close() { messaging.reset(); }
    // Null once closed.
    ipm_Messaging* Get() { return messaging ? &*messaging : nullptr; }

private:
    std::optional<ipm_Messaging> messaging;
};

constexpr auto requestWait = std::chrono::seconds(30);

void offer(const ipm_JobCommand& command, Messaging& messaging, int lineNumber) {
    reportingFailures(lineNumber, "offering", [&] {
        if (messaging.Get()) messaging.Get()->OfferRequests(command.offers);
    });
}

// Polls at the job's pace, as a solver would between increments.
void answer(const ipm_JobCommand& command, Messaging& messaging, int lineNumber) {
    ipm_Messaging* active = messaging.Get();
    const auto end = std::chrono::steady_clock::now() + requestWait;
    std::optional<ipm_Request> request;
    while (active && !eli_killsigRaised() && std::chrono::steady_clock::now() < end && !(request = active->TakeRequest()))
        std::this_thread::sleep_for(sleepSlice);
    if (!request) {
        reportLine(lineNumber, "no request came");
        return;
    }
    std::cout << "request " << request->id << " " << request->name << " " << request->value << std::endl;
    if (command.outcome == "none") return;
    const auto outcome = command.outcome == "done"      ? ipm_Request::Outcome::Done
                         : command.outcome == "refused" ? ipm_Request::Outcome::Refused
                                                        : ipm_Request::Outcome::Failed;
    reportingFailures(lineNumber, "answering", [&] { active->AnswerRequest(request->id, outcome, command.texts[0]); });
}

void execute(ipm_JobCommand& command, Messaging& messaging, int lineNumber) {
    switch (command.kind) {
        case ipm_JobCommand::Kind::SendBuffered: send(ipm_sendMessage, command, lineNumber); break;
        case ipm_JobCommand::Kind::SendDirect: send(ipm_sendMessageDirect, command, lineNumber); break;
        case ipm_JobCommand::Kind::Sleep: sleepUnlessKilled(command.milliseconds); break;
        case ipm_JobCommand::Kind::Close: reportingFailures(lineNumber, "closing", [&] { messaging.Close(); }); break;
        case ipm_JobCommand::Kind::Offer: offer(command, messaging, lineNumber); break;
        case ipm_JobCommand::Kind::Answer: answer(command, messaging, lineNumber); break;
    }
}

bool isBlank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

// False when the line was bad; it is reported and skipped.
bool runLine(ipm_LineReader::Result result, const std::string& line, int lineNumber, Messaging& messaging) {
    if (result == ipm_LineReader::Result::Overlong) {
        reportLine(lineNumber, "longer than " + std::to_string(ipm_LineReader::maxLineLength) + " bytes");
        return false;
    }
    if (isBlank(line)) return true;
    try {
        ipm_JobCommand command = ipm_JobCommand::Parse(line);
        execute(command, messaging, lineNumber);
        return true;
    } catch (const std::invalid_argument& error) {
        reportLine(lineNumber, error.what());
        return false;
    }
}

// Runs the script on standard input until its end or a kill request.
ExitStatus runScript(Messaging& messaging) {
    ipm_LineReader input;
    std::string line;
    int lineNumber = 0;
    bool badLines = false;
    while (!eli_killsigRaised()) {
        const ipm_LineReader::Result result = input.Next(line, inputWaitMilliseconds);
        if (result == ipm_LineReader::Result::End) return badLines ? badInput : completed;
        if (result == ipm_LineReader::Result::NothingYet) continue;
        if (!runLine(result, line, ++lineNumber, messaging)) badLines = true;
    }
    std::cerr << "ipm-job: the listener asked the job to stop" << std::endl;
    return killed;
}

// The options a job cannot do without: the job's own and its transport's.
const std::vector<const char*>* requiredOptions(const cow_String& transport) {
    static const std::vector<const char*> direct = {"job", "message", "listener_name", "direct_port"};
    static const std::vector<const char*> jabber = {"job", "message", "msgserver", "listener_name",
                                                    "listener_resource"};
    if (transport == "direct") return &direct;
    if (transport == "jabber") return &jabber;
    return nullptr;
}

bool isPortNumber(std::string_view text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

// What makes the command line unusable; empty when it is fine.
std::string usageProblem(const cow_String& transport, const utl_CommandLine& options) {
    const std::vector<const char*>* required = requiredOptions(transport);
    if (!required) return "unknown transport \"" + std::string(transport.view()) + "\" (direct or jabber)";
    std::string missing;
    for (const char* option : *required) {
        if (!options.IsMember(option)) missing += std::string(missing.empty() ? "" : " ") + option + "=";
    }
    if (!missing.empty()) return "missing " + missing + " for the " + std::string(transport.view()) + " transport";
    const cow_String port = options.ConstGetValue("direct_port");
    if (transport == "direct" && !isPortNumber(port.view())) {
        return "direct_port \"" + std::string(port.view()) + "\" is not a port number (1 to 65535)";
    }
    return {};
}

}  // namespace

int main() {
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    if (options.IsMember("help") || options.IsMember("h")) {
        std::cout << usage;
        return completed;
    }
    if (options.IsMember("version")) {
        std::cout << "ipm-job " << IPM_VERSION << "\n";
        return completed;
    }
    const cow_String transport = options.IsMember("transport") ? options.ConstGetValue("transport") : "direct";
    if (const std::string problem = usageProblem(transport, options); !problem.empty()) {
        std::cerr << "ipm-job: " << problem << "; see ipm-job --help\n";
        return usageError;
    }

    Messaging messaging(transport);
    return runScript(messaging);
}
