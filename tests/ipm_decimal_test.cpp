// The document's decimal writer against std::to_chars, which the log and the
// listener expect, over the values that take its short path and around it.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "ipm/impl/ipm_DecimalText.h"

namespace {
std::string written(double value) {
    char text[64];
    return std::string(text, ipm_writeDecimal(text, value));
}

std::string expected(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

}  // namespace

TEST(DecimalText, WritesEveryDoubleAsToCharsDoes) {
    std::vector<double> values = {0.0, std::numeric_limits<double>::infinity(), std::nan(""), 1e5, 1e-4, 1e16,
                                  std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max()};
    for (double step : {0.0125, 0.1, 0.001, 0.25, 1e-7, 3e5, 0.3})
        for (int i = 0; i < 20000; ++i) values.push_back(i * step);
    for (int exponent = -40; exponent <= 40; ++exponent)
        for (double power = std::pow(10.0, exponent); double value :
             {power, 1.5 * power, 9.99 * power, std::nextafter(power, 0.0), std::nextafter(power, 1e300)})
            values.push_back(value);
    // Where the short path's exactness bound lies, and where notations trade places.
    for (double base : {562949953421312.0, 1e15, 9007199254740992.0, 1e5, 1e16})
        for (int offset = -300; offset <= 300; ++offset) values.push_back(base + offset);
    std::mt19937_64 random(1);
    for (int i = 0; i < 200000; ++i) {
        values.push_back(static_cast<double>(random() % 100000000000000000ULL) / std::pow(10.0, random() % 18));
        values.push_back(std::bit_cast<double>(random()));
    }
    // The first mismatch only, with both texts.
    for (double value : values)
        for (double signedValue : {value, -value})
            if (written(signedValue) != expected(signedValue))
                FAIL() << expected(signedValue) << " written as " << written(signedValue);
}
