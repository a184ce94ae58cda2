// An example job: a small solver that reports its progress to a listener
// through the messaging library, offers two requests (write a restart file
// now; stop cleanly after the current increment), and stops at once when
// the listener kills it.
//
//   example-solver job=beam message=ALL indir=/tmp listener_name=127.0.0.1 direct_port=7000
//   example-solver -transport jabber job=beam message=ALL indir=/tmp msgserver=localhost
//                  listener_name=mon listener_resource=desk
//
// The options are read by the library itself, from the job's command line;
// only the choice of transport is the job's own.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/ipm_Messaging.h"
#include "ipm/ipm_version.h"

namespace {

constexpr int stepCount = 4;
constexpr int incrementsPerStep = 10;
constexpr auto incrementTime = std::chrono::milliseconds(250);
constexpr double tolerance = 1e-3;

// The library takes the values as plain arrays (it never changes them); the
// format string says how many of each it reads.
void reportStarted() {
    char program[] = "example-solver";
    char analysis[] = "static";
    char* texts[] = {program, analysis};
    ipm_sendMessage("Started", "program=%s analysis=%s", nullptr, nullptr, texts);
}

// A field "phase" of letter e sets the job's phase: every later message
// carries it until another one replaces it.
void reportStep(int step, const char* phaseName) {
    int integers[] = {step};
    std::string phase = phaseName;
    char* texts[] = {phase.data()};
    ipm_sendMessage("Step", "step=%i phase=%e", integers, nullptr, texts);
}

void reportProgress(int step, int increment, double load, double residual) {
    int integers[] = {step, increment};
    double doubles[] = {load, residual};
    ipm_sendMessage("Progress", "step=%i increment=%i load=%r residual=%r", integers, doubles, nullptr);
}

void reportWarning(int step, int increment, double residual) {
    int integers[] = {step, increment};
    char message[128];
    std::snprintf(message, sizeof message, "residual %.2e > tolerance %.0e, cutting back the increment",
                  residual, tolerance);
    char* texts[] = {message};
    ipm_sendMessage("Warning", "step=%i increment=%i message=%s", integers, nullptr, texts);
}

void reportEnd(const char* type, int stepsDone) {
    int integers[] = {stepsDone, stepCount};
    ipm_sendMessage(type, "steps=%i of=%i", integers, nullptr, nullptr);
}

const char* phaseOfStep(int step) {
    static const char* const phases[stepCount] = {"Preload", "Loading", "Holding", "Unloading"};
    return phases[step - 1];
}

// Stands in for the real computation: each increment takes a while and
// leaves a residual; the sixth increment of each step converges badly.
double solveIncrement(int increment) {
    std::this_thread::sleep_for(incrementTime);
    const bool difficult = increment == 6;
    return difficult ? 4.2e-3 : 1e-4 * std::exp(-0.3 * increment);
}

// Where the analysis stands, as a restart file keeps it.
struct State {
    int step = 1;
    int increment = 0;
    double load = 0;
};

// The restart file "JOB.rst" in the job's indir; empty when it could not
// be written, with the reason in `why`.
std::string writeRestartFile(const State& state, std::string& why) {
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    const std::string directory = options.IsMember("indir") ? options.ConstGetValue("indir").text() : ".";
    const std::string job = options.IsMember("job") ? options.ConstGetValue("job").text() : "example";
    std::string path = directory + "/" + job + ".rst";
    std::ofstream file(path, std::ios::trunc);
    file << "step=" << state.step << " increment=" << state.increment << " load=" << state.load << "\n";
    file.close();
    if (!file) {
        why = "cannot write " + path;
        return {};
    }
    return path;
}

enum class Outcome { Completed, StoppedOnRequest, Killed };

// The solver's safe point, between two increments: it serves the requests
// that came in meanwhile. True when one asks it to stop.
bool serveRequests(ipm_Messaging& messaging, const State& state) {
    while (const std::optional<ipm_Request> request = messaging.TakeRequest()) {
        std::string why;
        const std::string path = writeRestartFile(state, why);
        if (path.empty()) {
            messaging.AnswerRequest(request->id, ipm_Request::Outcome::Failed, why);
            continue;
        }
        const std::string where = "step " + std::to_string(state.step) + " increment " +
                                  std::to_string(state.increment) + ", restart file " + path;
        if (request->name == "stop") {
            messaging.AnswerRequest(request->id, ipm_Request::Outcome::Done, "stopped after " + where);
            return true;
        }
        messaging.AnswerRequest(request->id, ipm_Request::Outcome::Done, "written at " + where);
    }
    return false;
}

Outcome solve(ipm_Messaging& messaging) {
    reportStarted();
    messaging.OfferRequests({{"checkpoint", "Write a restart file now"}, {"stop", "Stop after this increment"}});
    State state;
    for (state.step = 1; state.step <= stepCount; ++state.step) {
        reportStep(state.step, phaseOfStep(state.step));
        for (state.increment = 1; state.increment <= incrementsPerStep; ++state.increment) {
            if (eli_killsigRaised()) {
                reportEnd("Stopped", state.step - 1);
                return Outcome::Killed;
            }
            const double residual = solveIncrement(state.increment);
            state.load = (state.step - 1 + double(state.increment) / incrementsPerStep) / stepCount;
            if (residual > tolerance) reportWarning(state.step, state.increment, residual);
            reportProgress(state.step, state.increment, state.load, residual);
            if (serveRequests(messaging, state)) {
                reportEnd("Stopped", state.step - 1);
                return Outcome::StoppedOnRequest;
            }
        }
    }
    reportEnd("Completed", stepCount);
    return Outcome::Completed;
}

constexpr const char* usage =
    "usage: example-solver [-transport direct] job=NAME message=ALL [indir=DIR] listener_name=HOST direct_port=PORT\n"
    "       example-solver -transport jabber job=NAME message=ALL [indir=DIR] msgserver=SERVER\n"
    "                      listener_name=USER listener_resource=RESOURCE\n"
    "A small solver that reports its progress (for about 10 s) through the messaging\n"
    "library, which reads these options itself; without job= it runs without messaging.\n"
    "It offers the requests \"checkpoint\" (writes the restart file JOB.rst into indir)\n"
    "and \"stop\" (finishes the current increment, writes the restart file, stops).\n"
    "Exit status: 0 when the analysis completed or stopped on request, 3 when the\n"
    "listener killed it, 2 for a usage error. --version prints the version.\n";

}  // namespace

int main() {
    // "-transport jabber" reports through a Jabber server; the direct
    // connection to the listener is the default.
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    if (options.IsMember("help") || options.IsMember("h")) {
        std::cout << usage;
        return 0;
    }
    if (options.IsMember("version")) {
        std::cout << "example-solver " << IPM_VERSION << "\n";
        return 0;
    }
    const std::string transport = options.IsMember("transport") ? options.ConstGetValue("transport").text() : "direct";
    if (transport != "direct" && transport != "jabber") {
        std::cerr << "example-solver: unknown transport \"" << transport
                  << "\" (direct or jabber); see example-solver --help\n";
        return 2;
    }

    // Starts the library and, on a thread of its own, the message task, which
    // connects in the background and sends the buffered messages, so the
    // solver never waits for the network. Destruction sends what is left.
    ipm_Messaging messaging(transport);
    switch (solve(messaging)) {
        case Outcome::Completed: std::cout << "example-solver: analysis completed\n"; return 0;
        case Outcome::StoppedOnRequest: std::cout << "example-solver: stopped on request\n"; return 0;
        case Outcome::Killed: break;
    }
    std::cout << "example-solver: killed by the listener\n";
    return 3;
}
