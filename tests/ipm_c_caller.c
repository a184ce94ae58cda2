/* A job written in C: the entry points' header compiles as C99 and the
   library is reached through the plain names. Without "job" and "message"
   options messaging is off, so both calls only return. */
#include <stddef.h>

#include "ipm/ipm.h"

int main(void) {
    int step[] = {3};
    char heading[] = "A&B";
    char* texts[] = {heading};
    return ipm_sendMessage("Progress", "step=%i heading=%s", step, NULL, texts) != 0 ||
           ipm_sendMessageDirect("Progress", "step=%i heading=%s", step, NULL, texts) != 0;
}
