// The message document's decimal writer against the standard library's
// shortest round-trip conversion, which the log and the listener expect:
// every input's leading eight bytes, read as a double, must give the same
// text both ways.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ipm/impl/ipm_DecimalText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(double)) return 0;
    double value;
    std::memcpy(&value, data, sizeof value);
    char expected[64];
    const char* expectedEnd = std::to_chars(expected, expected + sizeof expected, value).ptr;
    char written[64];
    const char* writtenEnd = ipm_writeDecimal(written, value);
    if (std::string_view(written, writtenEnd) != std::string_view(expected, expectedEnd)) std::abort();
    return 0;
}
