/* An example job in C: it reports its progress through the C wiring
   interface and stops early when the listener asks it to.

     c-job job=beam message=ALL listener_name=127.0.0.1 direct_port=7000 [steps=40] [transport=jabber]

   The library reads its own options (job, message, indir, listener_name,
   direct_port, ...) from the command line; steps and transport are the
   job's. Exit status: 0 when all steps ran, 3 when the listener stopped the
   job, 1 when messaging could not be started or stopped. */
#define _POSIX_C_SOURCE 199309L /* NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the feature-test macro */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ipm/ipm_c.h"

enum { completed = 0, failed = 1, stoppedByListener = 3 };

/* The value of option `name` ("name=value"), or `fallback`. */
static const char* option(int argc, char** argv, const char* name, const char* fallback) {
    const size_t length = strlen(name);
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
    return fallback;
}

static void check(int result, const char* what) {
    if (result == IPM_OK) return;
    fprintf(stderr, "c-job: %s: %s %s\n", what, ipm_resultText(result), ipm_lastFailure());
}

static void pause100ms(void) {
    const struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, NULL);
}

/* A step reports its number, a made-up residual and the phase it is in;
   the phase travels with every later message. */
static void reportStep(int step, int steps) {
    const int ints[] = {step, steps};
    const double doubles[] = {1.0 / (step + 1)};
    const char* const texts[] = {step * 2 <= steps ? "Loading" : "Holding"};
    check(ipm_send("Progress", "step=%i of=%i residual=%r phase=%e", ints, doubles, texts), "progress");
}

static void reportEnd(const char* type, int stepsDone) {
    const int ints[] = {stepsDone};
    check(ipm_send(type, "steps=%i", ints, NULL, NULL), type);
}

int main(int argc, char** argv) {
    const int steps = (int)strtol(option(argc, argv, "steps", "40"), NULL, 10);
    const int result = ipm_start(option(argc, argv, "transport", "direct"), 0, NULL);
    if (result != IPM_OK) {
        check(result, "start");
        return failed;
    }

    const char* const program[] = {"c-job"};
    check(ipm_send("Started", "program=%s", NULL, NULL, program), "start message");
    int status = completed;
    int step = 1;
    for (; step <= steps; ++step) {
        if (ipm_killRequested()) {
            status = stoppedByListener;
            break;
        }
        reportStep(step, steps);
        pause100ms();
    }
    reportEnd(status == completed ? "Completed" : "Stopped", step - 1);

    /* The stop sends what is still buffered, the end message among it. */
    if (ipm_stop() != IPM_OK) return failed;
    return status;
}
