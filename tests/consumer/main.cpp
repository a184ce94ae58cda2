// Wires the library both ways a C++ job can: its own classes, then the C
// wiring interface. Without a "message" option messaging stays off, so
// nothing goes out.
#include <cstdio>

#include "ipm/ipm.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_c.h"

int main() {
    int modules = 0;
    ipm_initialize(modules);
    thr_GlobalSingleton<ipm_MessageTransmit>::Instance().SetMechanism(new ipm_DirectMechanism);
    ipm_finalize(modules);

    const char* const options[] = {"job=consumer"};
    const bool wired = ipm_start("direct", 1, options) == IPM_OK &&
                       ipm_send("Progress", "", nullptr, nullptr, nullptr) == IPM_OK && ipm_stop() == IPM_OK;
    std::puts(wired ? "consumer: wired" : "consumer: failed");
    return wired ? 0 : 1;
}
