#include "foundation/utl_system.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

cow_String utl_getHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return cow_String();
    return cow_String(name);
}

void utl_sleep(unsigned int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
