/* A C99 job built with the flags pkg-config gives for the installed package. */
#include <stdio.h>

#include "ipm/ipm_c.h"

int main(void) {
    const char* const options[] = {"job=consumer"};
    int ints = 0, doubles = 0, texts = 0;
    const int counted = ipm_countFormatValues("step=%i note=%s", &ints, &doubles, &texts) == IPM_OK &&
                        ints == 1 && doubles == 0 && texts == 1;
    const int wired = ipm_start("direct", 1, options) == IPM_OK && ipm_stop() == IPM_OK;
    puts(counted && wired ? "c consumer: wired" : "c consumer: failed");
    return counted && wired ? 0 : 1;
}
