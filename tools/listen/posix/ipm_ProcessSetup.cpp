#include "tools/listen/ipm_ProcessSetup.h"

#include <sys/resource.h>

// Each direct job holds a descriptor: take as many as the system lets this
// process.
void ipm_ProcessSetup::Prepare() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}
