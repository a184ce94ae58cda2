#include "ipm/impl/ipm_DecimalText.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {
struct Decimal {
    uint64_t digits;  // without trailing zeros
    int pointShift;   // value = digits / 10^pointShift
};

// Doubles with few decimals (most of a job's times, loads and factors) take
// a short path in floating point: it is cheaper than the standard library's
// general shortest-digits search.
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

// The inverse of 5^k modulo 2^64, by Newton's iteration: each step doubles
// the bits that are right, and an odd number is its own inverse to 3 bits.
constexpr uint64_t fivePower(int k) { return k == 0 ? 1 : 5 * fivePower(k - 1); }

constexpr uint64_t inverseOfFivePower(int k) {
    const uint64_t power = fivePower(k);
    uint64_t inverse = power;
    for (int step = 0; step < 5; ++step) inverse *= 2 - power * inverse;
    return inverse;
}

constexpr uint64_t tenPower(int k) { return k == 0 ? 1 : 10 * tenPower(k - 1); }

// Divides 10^k out of the digits when it divides them: multiplied by the
// inverse of 5^k, a multiple of 10^k becomes its quotient times 2^k, which
// the rotation brings down; anything else lands above the largest quotient.
// A multiplication per test, where a remainder and a quotient take two.
template <int k>
void dropZeros(Decimal& decimal) {
    constexpr uint64_t inverse = inverseOfFivePower(k);
    static_assert(inverse * fivePower(k) == 1);
    const uint64_t quotient = std::rotr(decimal.digits * inverse, k);
    if (quotient > UINT64_MAX / tenPower(k)) return;
    decimal.digits = quotient;
    decimal.pointShift -= k;
}

// In halving steps: digits below 2^49 end in at most 14 zeros.
void dropTrailingZeros(Decimal& decimal) {
    dropZeros<8>(decimal);
    dropZeros<4>(decimal);
    dropZeros<2>(decimal);
    dropZeros<1>(decimal);
}

// The digits of a positive finite magnitude below the limit, when some
// decimal with at most `exactScale` decimals reads back as it. Fewer
// decimals are found by dropping trailing zeros: a shorter decimal, if one
// read back, would be the same number at the larger scale.
bool shortDecimal(double magnitude, Decimal& decimal) {
    if (!(magnitude > 0 && magnitude < exactLimit)) return false;
    const int scale = exactScale(magnitude);
    const double scaled = magnitude * shortScales[scale];
    // Positive, so adding a half and truncating rounds it.
    const auto digits = static_cast<uint64_t>(scaled + 0.5);  // NOLINT(bugprone-incorrect-roundings)
    // A candidate lies within 1/4 of the scaled value; most doubles of many
    // digits end here, before the division.
    if (std::fabs(scaled - static_cast<double>(digits)) > 0.25) return false;
    if (digits == 0 || static_cast<double>(digits) / shortScales[scale] != magnitude) return false;
    decimal = {digits, scale};
    dropTrailingZeros(decimal);
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
    if (!shortDecimal(magnitude, decimal)) return std::to_chars(out, out + 32, value).ptr;
    if (std::signbit(value)) *out++ = '-';
    return writeDecimal(out, decimal);
}
