#include "ipm/impl/ipm_DecimalText.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {
using uint128 = unsigned __int128;

constexpr uint64_t powerOfTen(int exponent) { return exponent == 0 ? 1 : 10 * powerOfTen(exponent - 1); }
constexpr uint64_t powerOfFive(int exponent) { return exponent == 0 ? 1 : 5 * powerOfFive(exponent - 1); }

template <uint64_t (*power)(int), int count>
constexpr auto powerTable() {
    struct Table {
        uint64_t values[count];
    } table{};
    for (int i = 0; i < count; ++i) table.values[i] = power(i);
    return table;
}

constexpr auto powersOfTen = powerTable<powerOfTen, 18>();
constexpr auto powersOfFive = powerTable<powerOfFive, 28>();

struct Decimal {
    uint64_t digits;  // without trailing zeros
    int pointShift;   // value = digits / 10^pointShift
};

// Doubles with few decimals (most of a job's times, loads and factors) take
// a short path in floating point first: it is cheaper than the exact search
// below by half.
constexpr double shortScales[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int largestScale = 22;

// Below 2^49 a scaled value lies within 1/8 of its exact product, and a
// decimal that reads back as the double lies within 1/8 of it too: the
// rounded scaled value is the only candidate at that scale.
constexpr double exactLimit = 562949953421312.0;

// The largest scale 10^k (k <= 22) with 10^k <= 2^(48 - binary exponent),
// which keeps magnitude * 10^k below the limit.
int exactScale(double magnitude) {
    const int binaryExponent = static_cast<int>((std::bit_cast<uint64_t>(magnitude) >> 52) & 0x7ff) - 1023;
    const int bits = 48 - binaryExponent;
    return bits >= 74 ? largestScale : (bits * 78913) >> 18;  // floor(bits * log10(2))
}

// Constant divisors, so that each test is a multiplication.
template <uint64_t divisor, int zeros>
void dropZeros(Decimal& decimal) {
    while (decimal.digits % divisor == 0) {
        decimal.digits /= divisor;
        decimal.pointShift -= zeros;
    }
}

// In halving steps: a scaled value of few decimals ends in many zeros.
void dropTrailingZeros(Decimal& decimal) {
    dropZeros<100000000, 8>(decimal);
    dropZeros<10000, 4>(decimal);
    dropZeros<100, 2>(decimal);
    dropZeros<10, 1>(decimal);
}

// The digits of a positive finite magnitude below the limit, when some
// decimal with at most `exactScale` decimals reads back as it. Fewer
// decimals are found by dropping trailing zeros: a shorter decimal, if one
// read back, would be the same number at the larger scale.
bool shortDecimal(double magnitude, Decimal& decimal) {
    if (!(magnitude > 0 && magnitude < exactLimit)) return false;
    const int scale = exactScale(magnitude);
    const double scaled = magnitude * shortScales[scale];
    const auto digits = static_cast<uint64_t>(scaled + 0.5);
    // A candidate lies within 1/4 of the scaled value; most doubles of many
    // digits end here, before the division.
    if (std::fabs(scaled - static_cast<double>(digits)) > 0.25) return false;
    if (digits == 0 || static_cast<double>(digits) / shortScales[scale] != magnitude) return false;
    decimal = {digits, scale};
    dropTrailingZeros(decimal);
    return true;
}

// Doubles from 2^-36 to below 2^53 (binary exponents in this range), which
// cover a job's values of any number of digits: for them every number below
// fits the integer types, so the shortest decimal is found exactly without a
// general arbitrary-precision search.
constexpr int lowestExponent = -36;
constexpr int highestExponent = 52;

// The decimals that read back as a value, scaled by 10^scale so that the
// value has 17 or 18 digits before the point: the integers `low` to `high`,
// and the value itself as `whole` and a binary fraction
// `fraction` / 2^fractionBits. Whether the half-way points themselves read
// back never matters here: they are whole numbers only at the top exponent,
// and there odd multiples of 5, never the nearest candidate.
struct ScaledInterval {
    uint64_t low, high, whole, fraction;
    int fractionBits, scale;
};

// floor(log10(2^binaryExponent)), exact over the range above.
int decimalExponent(int binaryExponent) { return (binaryExponent * 78913) >> 18; }

ScaledInterval scaledInterval(uint64_t mantissa, int binaryExponent, bool boundaryBelow) {
    // value = mantissa * 2^(binaryExponent - 52) lies in [10^p, 2 * 10^(p+1));
    // times 10^(16 - p) it lies in [10^16, 2 * 10^17), below 2^58. Quarter
    // units hold the half-way points to both neighbours, the lower one a
    // quarter away when the value is the smallest of its binary exponent.
    const int p = decimalExponent(binaryExponent);
    const int scale = 16 - p;
    const int bits = 38 - binaryExponent + p;  // 1 to 63 over the range
    const uint64_t five = powersOfFive.values[scale];
    const uint128 center = static_cast<uint128>(4 * mantissa) * five;
    const uint128 upper = center + 2 * static_cast<uint128>(five);
    const uint128 lower = center - (boundaryBelow ? 1 : 2) * static_cast<uint128>(five);
    const uint128 mask = (static_cast<uint128>(1) << bits) - 1;
    const auto low = static_cast<uint64_t>(lower >> bits) + ((lower & mask) != 0);
    const auto high = static_cast<uint64_t>(upper >> bits);
    return {low, high, static_cast<uint64_t>(center >> bits), static_cast<uint64_t>(center & mask), bits, scale};
}

// As std::to_chars chooses: the fewest digits that read back, and among
// those the number nearest the value (half-way to even).
Decimal shortestDecimal(const ScaledInterval& interval) {
    uint64_t low = interval.low, high = interval.high, digits = interval.whole;
    int dropped = 0;
    // Digit by digit, while some number with one more trailing zero reads
    // back: values that miss the short path mostly keep 16 or 17 digits, so
    // this mostly stops at once.
    while ((low + 9) / 10 <= high / 10) {
        low = (low + 9) / 10;
        high /= 10;
        digits /= 10;
        ++dropped;
    }
    const uint64_t unit = powersOfTen.values[dropped];
    // What was dropped from the value, against half a unit of the last digit
    // kept, both in 2^-fractionBits.
    const uint128 rest = static_cast<uint128>(interval.whole - digits * unit) << interval.fractionBits | interval.fraction;
    const uint128 half = static_cast<uint128>(unit) << (interval.fractionBits - 1);
    digits += rest > half || (rest == half && digits % 2 == 1);
    return {std::clamp(digits, low, high), interval.scale - dropped};
}

bool exactDecimal(double magnitude, Decimal& decimal) {
    const uint64_t bits = std::bit_cast<uint64_t>(magnitude);
    const int binaryExponent = static_cast<int>(bits >> 52) - 1023;
    if (binaryExponent < lowestExponent || binaryExponent > highestExponent) return false;
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    decimal = shortestDecimal(scaledInterval(fraction | uint64_t{1} << 52, binaryExponent, fraction == 0));
    return true;
}

// Fixed-size copies, from digits with room for twice that and to an output
// with room for 64: the compiler turns them into a few moves, not calls.
constexpr int digitsRoom = 24;

char* zeros(char* out, int count) {
    std::memset(out, '0', digitsRoom);
    return out + count;
}

char* copy(char* out, const char* digits, int count) {
    std::memcpy(out, digits, digitsRoom);
    return out + count;
}

// Plain or scientific notation, whichever is shorter, plain on a tie, as
// std::to_chars chooses.
char* writeDecimal(char* out, const Decimal& decimal) {
    char digits[2 * digitsRoom] = {};
    const int count = static_cast<int>(std::to_chars(digits, digits + digitsRoom, decimal.digits).ptr - digits);
    const int shift = decimal.pointShift;
    const int exponent = count - 1 - shift;
    const int absoluteExponent = exponent < 0 ? -exponent : exponent;
    const int scientificLength = count + (count > 1) + 2 + (absoluteExponent >= 100 ? 3 : 2);
    const int plainLength = shift <= 0 ? count - shift : shift < count ? count + 1 : shift + 2;
    if (plainLength <= scientificLength) {
        if (shift <= 0) return zeros(copy(out, digits, count), -shift);
        if (shift < count) {
            out = copy(out, digits, count - shift);
            *out++ = '.';
            return copy(out, digits + count - shift, shift);
        }
        *out++ = '0';
        *out++ = '.';
        return copy(zeros(out, shift - count), digits, count);
    }
    *out++ = digits[0];
    if (count > 1) {
        *out++ = '.';
        out = copy(out, digits + 1, count - 1);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    if (absoluteExponent < 10) *out++ = '0';
    return std::to_chars(out, out + 4, absoluteExponent).ptr;
}
}  // namespace

char* ipm_writeDecimal(char* out, double value) {
    Decimal decimal;
    const double magnitude = std::fabs(value);
    if (!shortDecimal(magnitude, decimal) && !exactDecimal(magnitude, decimal))
        return std::to_chars(out, out + 32, value).ptr;
    if (std::signbit(value)) *out++ = '-';
    return writeDecimal(out, decimal);
}
