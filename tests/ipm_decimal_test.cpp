#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

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

// The first value (or its negation) written otherwise than std::to_chars
// writes it, with both texts; empty when there is none.
std::string firstMismatch(const std::vector<double>& values) {
    for (double value : values)
        for (double signedValue : {value, -value})
            if (written(signedValue) != expected(signedValue))
                return expected(signedValue) + " written as " + written(signedValue);
    return "";
}

std::vector<double> multiplesOfDecimalSteps() {
    std::vector<double> values;
    for (double step : {0.0125, 0.1, 0.001, 0.25, 1.0, 10.0, 1e-7, 3e5, 0.3, 7.0e-3})
        for (int i = 0; i < 20000; ++i) values.push_back(i * step);
    return values;
}

std::vector<double> aroundPowersOfTen() {
    std::vector<double> values;
    for (int exponent = -40; exponent <= 40; ++exponent) {
        const double power = std::pow(10.0, exponent);
        for (double value : {power, 1.5 * power, 9.99 * power, 123456789 * power, 100000 * power,
                             std::nextafter(power, 0.0), std::nextafter(power, 1e300)})
            values.push_back(value);
    }
    return values;
}

// Where the short path's exactness bound lies, and where plain and
// scientific notation trade places.
std::vector<double> integersAroundLimits() {
    std::vector<double> values;
    for (double base : {562949953421312.0, 1e15, 9007199254740992.0, 1e5, 1e6, 1e16})
        for (int offset = -300; offset <= 300; ++offset) values.push_back(base + offset);
    return values;
}

std::vector<double> randomShortDecimals() {
    std::mt19937_64 random(1);
    std::vector<double> values;
    for (int i = 0; i < 300000; ++i) {
        const int decimals = static_cast<int>(random() % 18);
        const auto mantissa = static_cast<int64_t>(random() % 100000000000000000ULL);
        values.push_back(static_cast<double>(mantissa) / std::pow(10.0, decimals));
    }
    return values;
}

std::vector<double> randomBitPatterns() {
    std::mt19937_64 random(2);
    std::vector<double> values;
    for (int i = 0; i < 300000; ++i) values.push_back(std::bit_cast<double>(random()));
    return values;
}

// The exact path's range runs over these binary exponents; a few beyond
// each end go to std::to_chars.
constexpr int lowestExactExponent = -36;
constexpr int highestExactExponent = 52;

double withExponent(uint64_t mantissaBits, int binaryExponent) {
    return std::bit_cast<double>(static_cast<uint64_t>(binaryExponent + 1023) << 52 | (mantissaBits >> 12));
}

// Random mantissas at every binary exponent of the exact path and next to
// it, some with few significant bits (short decimals are rarer among them).
std::vector<double> randomAroundExactRange() {
    std::mt19937_64 random(3);
    std::vector<double> values;
    for (int exponent = lowestExactExponent - 4; exponent <= highestExactExponent + 4; ++exponent)
        for (int i = 0; i < 4000; ++i) {
            const uint64_t bits = random();
            values.push_back(withExponent(i % 4 == 0 ? bits & ~uint64_t{0} << (random() % 64) : bits, exponent));
        }
    return values;
}

// Powers of two, whose lower neighbour is half as far as the upper one, and
// the doubles next to them, across the exact range and past its ends.
std::vector<double> aroundPowersOfTwo() {
    std::vector<double> values;
    for (int exponent = lowestExactExponent - 4; exponent <= highestExactExponent + 4; ++exponent) {
        double below = std::ldexp(1.0, exponent);
        double above = below;
        for (int step = 0; step < 4; ++step) {
            values.push_back(below);
            values.push_back(above);
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, 1e300);
        }
    }
    return values;
}

// Decimals whose shortest text has exactly 15, 16 or 17 significant digits
// (or fewer when they read back shorter), from 1e-13 to 1e17.
std::vector<double> randomLongDecimals() {
    std::mt19937_64 random(4);
    std::vector<double> values;
    for (int digits : {15, 16, 17})
        for (int decimals = -3; decimals <= 30; ++decimals)
            for (int i = 0; i < 3000; ++i) {
                const uint64_t lowest = static_cast<uint64_t>(std::pow(10.0, digits - 1));
                const uint64_t mantissa = lowest + random() % (9 * lowest);
                char text[64];
                std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(mantissa), -decimals);
                values.push_back(std::strtod(text, nullptr));
            }
    return values;
}

std::vector<double> randomSubnormals() {
    std::mt19937_64 random(5);
    std::vector<double> values;
    for (int i = 0; i < 20000; ++i) values.push_back(std::bit_cast<double>(random() >> (12 + i % 52)));
    return values;
}

std::vector<double> computedValues() {
    std::vector<double> values;
    double time = 0;
    for (int i = 0; i < 100000; ++i, time += 0.1) {
        values.push_back(time);
        values.push_back(std::sqrt(i));
        values.push_back(1.0 / (i + 1));
    }
    return values;
}
}  // namespace

TEST(DecimalText, WritesShortDecimalsAsToCharsDoes) {
    EXPECT_EQ(firstMismatch(multiplesOfDecimalSteps()), "");
    EXPECT_EQ(firstMismatch(aroundPowersOfTen()), "");
    EXPECT_EQ(firstMismatch(integersAroundLimits()), "");
    EXPECT_EQ(firstMismatch(randomShortDecimals()), "");
    EXPECT_EQ(written(12.5125), "12.5125");
    EXPECT_EQ(written(1e5), "1e+05");
    EXPECT_EQ(written(0.001), "0.001");
    EXPECT_EQ(written(-0.0001), "-1e-04");
}

TEST(DecimalText, WritesLongDecimalsAsToCharsDoes) {
    EXPECT_EQ(firstMismatch(randomAroundExactRange()), "");
    EXPECT_EQ(firstMismatch(aroundPowersOfTwo()), "");
    EXPECT_EQ(firstMismatch(randomLongDecimals()), "");
    EXPECT_EQ(written(1001 * 0.0125), "12.512500000000001");
    EXPECT_EQ(written(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(written(9007199254740991.0), "9007199254740991");
    EXPECT_EQ(written(-std::ldexp(1.0, lowestExactExponent)), "-1.4551915228366852e-11");
}

TEST(DecimalText, WritesEveryOtherDoubleAsToCharsDoes) {
    EXPECT_EQ(firstMismatch(randomSubnormals()), "");
    EXPECT_EQ(firstMismatch(randomBitPatterns()), "");
    EXPECT_EQ(firstMismatch(computedValues()), "");
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(firstMismatch({0.0, infinity, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::max(), 3.4028234663852886e38}),
              "");
}
