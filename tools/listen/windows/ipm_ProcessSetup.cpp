#include "tools/listen/ipm_ProcessSetup.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

// Standard output in binary mode: each document goes out with the bytes it
// arrived with, line feeds included, as on other systems.
void ipm_ProcessSetup::Prepare() { ::_setmode(::_fileno(stdout), _O_BINARY); }
