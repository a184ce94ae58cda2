#include "foundation/thr_Mutex.h"

thr_Mutex::thr_Mutex(unsigned int) {}
