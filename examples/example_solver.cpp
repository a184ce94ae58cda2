// An example job: a small solver that reports its progress to a listener
// through the messaging library and stops early when the listener asks it to.
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

// Runs the analysis; false when the listener stopped it first.
bool solve() {
    reportStarted();
    for (int step = 1; step <= stepCount; ++step) {
        reportStep(step, phaseOfStep(step));
        for (int increment = 1; increment <= incrementsPerStep; ++increment) {
            if (eli_killsigRaised()) {
                reportEnd("Stopped", step - 1);
                return false;
            }
            const double residual = solveIncrement(increment);
            const double load = (step - 1 + double(increment) / incrementsPerStep) / stepCount;
            if (residual > tolerance) reportWarning(step, increment, residual);
            reportProgress(step, increment, load, residual);
        }
    }
    reportEnd("Completed", stepCount);
    return true;
}

constexpr const char* usage =
    "usage: example-solver [-transport direct] job=NAME message=ALL [indir=DIR] listener_name=HOST direct_port=PORT\n"
    "       example-solver -transport jabber job=NAME message=ALL [indir=DIR] msgserver=SERVER\n"
    "                      listener_name=USER listener_resource=RESOURCE\n"
    "A small solver that reports its progress (for about 10 s) through the messaging\n"
    "library, which reads these options itself; without job= it runs without messaging.\n"
    "Exit status: 0 when the analysis completed, 3 when the listener stopped it, 2 for\n"
    "a usage error. --version prints the version.\n";

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
    const bool completed = solve();
    std::cout << (completed ? "example-solver: analysis completed\n" : "example-solver: stopped by the listener\n");
    return completed ? 0 : 3;
}
