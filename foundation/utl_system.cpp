#include "foundation/utl_system.h"

#include <chrono>
#include <thread>

void utl_sleep(unsigned int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
