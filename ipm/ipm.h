#ifndef IPM_IPM_H
#define IPM_IPM_H

#include "foundation/ipm_export.h"

#ifdef __cplusplus
// Start and stop the library and the modules it uses. Only the first start and
// the matching last stop do the work; `count` is the caller's module counter.
IPM_EXPORT void ipm_initialize(int& count);
IPM_EXPORT void ipm_finalize(int& count);

extern "C" {
#endif

/* Reports a message: `format` lists space-separated fields name=%L, each taking
   the next value of `ints` (i), `doubles` (r) or `texts` (s, b, e). A type
   containing "Started" marks the job's start message. ipm_sendMessage buffers
   the message for the message task and never waits for the network;
   ipm_sendMessageDirect sends it at once on the calling thread (waiting, within
   the network time limit, while the message task starts the transport). Both
   return 0 and never throw: a failure shows in ipm_status and ipm_lastFailure
   (ipm/ipm_c.h). A message whose document could exceed 2147483647 bytes is
   refused whole: nothing of it is buffered, logged or sent. */
IPM_EXPORT int ipm_sendMessage(const char* type, const char* format, int* ints, double* doubles, char** texts);
IPM_EXPORT int ipm_sendMessageDirect(const char* type, const char* format, int* ints, double* doubles,
                                     char** texts);

#ifdef __cplusplus
}
#endif

#endif
