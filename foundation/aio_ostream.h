#pragma once

#include <mutex>
#include <ostream>

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// Console-style output stream for the library's few diagnostic lines. Every
// call is serialised, so threads may share one stream.
class IPM_EXPORT aio_ostream {
public:
    explicit aio_ostream(std::ostream& target);

    aio_ostream& print(const char* text);
    aio_ostream& print_int(int value);
    aio_ostream& put(char c);
    aio_ostream& flush();

    // Sends further output elsewhere (a test captures diagnostics this way).
    void SetTarget(std::ostream& target);

private:
    std::mutex guard;
    std::ostream* target;
};

IPM_EXPORT aio_ostream& operator<<(aio_ostream& stream, const cow_String& text);
IPM_EXPORT aio_ostream& operator<<(aio_ostream& stream, const char* text);
IPM_EXPORT aio_ostream& operator<<(aio_ostream& stream, int value);

// The console stream: standard output unless redirected.
extern IPM_EXPORT aio_ostream aio_cout;
