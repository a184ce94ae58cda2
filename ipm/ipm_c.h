#ifndef IPM_IPM_C_H
#define IPM_IPM_C_H

/* Wiring for jobs written in C or any language that calls C: start messaging
   with a named transport, send without letting an error escape, watch for a
   kill request, stop. These functions never throw; each returns one of the
   results below. */

#include "ipm/ipm.h"

#ifdef __cplusplus
extern "C" {
#endif

enum ipm_Result {
    IPM_OK = 0,
    /* ipm_start while messaging runs, or after the job set messaging up (or
       sent a message) by other means. */
    IPM_ALREADY_STARTED = 1,
    /* ipm_stop, ipm_send or ipm_sendDirect without a running ipm_start. */
    IPM_NOT_STARTED = 2,
    /* A transport other than "direct" or "jabber". */
    IPM_UNKNOWN_TRANSPORT = 3,
    /* A null pointer or negative count where a value is needed. */
    IPM_BAD_ARGUMENT = 4,
    /* ipm_start or ipm_stop from the message task's own thread (a kill
       handler): the task cannot wait for itself. */
    IPM_WRONG_THREAD = 5,
    /* The library raised an error; ipm_lastFailure says which. */
    IPM_FAILED = 6
};

/* Where delivery stands (ipm_status). */
enum ipm_Status {
    /* Messaging is off: not started, switched off by the options, or a
       transport setting that cannot work. The log still holds every message. */
    IPM_STATUS_OFF = 0,
    /* The transport is starting, or starting again after a failure; messages
       wait in a bounded backlog meanwhile. */
    IPM_STATUS_CONNECTING = 1,
    IPM_STATUS_CONNECTED = 2
};

/* Starts the library, installs the transport named `transport` ("direct" or
   "jabber") and runs the message task on a thread of its own. The job's
   options (job, message, indir, listener_name, ...) come from `argv`, a list
   of `argc` options without a program name ("job=beam", "-message", "ALL",
   ...), or with `argc` 0 from the process's own command line. Call it before
   anything else reaches the library. The transport starts in the background:
   see ipm_status. */
IPM_EXPORT int ipm_start(const char* transport, int argc, const char* const* argv);

/* Asks the message task to end, waits until it has sent everything buffered
   so far and then the job's last message, "JobEnded", which tells the
   listener that the job ended in order, and stops the library. Call it before the process ends, or buffered
   messages are not sent (they are in the log all the same). Delivery gets
   10 s; when the task has not ended within 10 s plus three network time
   limits (42 s by default) the result is IPM_FAILED and the job goes on.
   Messaging may be started again afterwards. */
IPM_EXPORT int ipm_stop(void);

/* 1 once the listener has asked the job to stop, else 0. A start lowers the
   flag again; a stop leaves it as it is. */
IPM_EXPORT int ipm_killRequested(void);

/* ipm_sendMessage and ipm_sendMessageDirect for a started job, with the
   library's errors turned into IPM_FAILED. The arrays must hold as many
   values as the format consumes (see ipm_countFormatValues); they are only
   read. A message whose document could exceed 2147483647 bytes is refused
   whole with IPM_FAILED (see docs/message-document.md). */
IPM_EXPORT int ipm_send(const char* type, const char* format, const int* ints, const double* doubles,
                        const char* const* texts);
IPM_EXPORT int ipm_sendDirect(const char* type, const char* format, const int* ints, const double* doubles,
                              const char* const* texts);

/* How many values of each array `format` consumes: one per field whose
   conversion (the whole text after the field's first "%") is i or I (ints),
   r or R (doubles), s, S, b, B, e or E (texts). A null format consumes none. */
IPM_EXPORT int ipm_countFormatValues(const char* format, int* ints, int* doubles, int* texts);

/* A short text for a result, e.g. for an error message. */
IPM_EXPORT const char* ipm_resultText(int result);

/* IPM_STATUS_OFF, IPM_STATUS_CONNECTING or IPM_STATUS_CONNECTED; `reason`
   (may be null) receives, NUL-terminated and cut to `size` bytes, why
   delivery is not connected (empty when it is). */
IPM_EXPORT int ipm_status(char* reason, int size);

/* Requests from the listener beside Kill: the job offers the requests it
   understands, takes the next pending one at a safe point of its own and
   answers it. A job that offers nothing receives none. */

/* How a job answers a request (ipm_answerRequest). */
enum ipm_Outcome { IPM_REQUEST_DONE = 0, IPM_REQUEST_REFUSED = 1, IPM_REQUEST_FAILED = 2 };

/* Room for any request name and any value, with their NUL. */
#define IPM_REQUEST_NAME_SIZE 33
#define IPM_REQUEST_VALUE_SIZE 257

/* Offers `count` requests (at most 16) to the listener, replacing an earlier
   offer; 0 withdraws it. names[i] is a lowercase letter followed by up to 31
   of a-z, 0-9, "_" and "-"; labels[i], shown on the request's button, is
   1 to 256 bytes of UTF-8 without control characters. IPM_BAD_ARGUMENT for
   an invalid or repeated name or an invalid label. */
IPM_EXPORT int ipm_offerRequests(int count, const char* const* names, const char* const* labels);

/* Takes the oldest pending request without waiting: `*id` receives its id
   (positive) and `name` and `value` its name and value (empty when it has
   none), NUL-terminated; `*id` is 0 when none is pending. The sizes must be
   at least IPM_REQUEST_NAME_SIZE and IPM_REQUEST_VALUE_SIZE. */
IPM_EXPORT int ipm_takeRequest(int* id, char* name, int nameSize, char* value, int valueSize);

/* Answers a taken request once, with an ipm_Outcome and a text for the
   listener (may be null; cut to 1024 bytes). IPM_BAD_ARGUMENT for an id not
   taken or already answered, or an unknown outcome. */
IPM_EXPORT int ipm_answerRequest(int id, int outcome, const char* text);

/* What the last IPM_FAILED on the calling thread was about; empty when none.
   Valid until the thread's next call of these functions. */
IPM_EXPORT const char* ipm_lastFailure(void);

#ifdef __cplusplus
}
#endif

#endif
