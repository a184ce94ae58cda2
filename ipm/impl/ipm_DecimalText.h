#pragma once

// Writes the shortest text that reads back as `value`, exactly as
// std::to_chars(first, last, value) writes it, to `out`, which has room for
// 64 characters; returns the end of the text. Doubles with few decimals (a
// job's times, loads and factors mostly are) take a short path, and most
// others below 2^53 an exact one of 17 digits, neither of which needs the
// general shortest-digits search.
char* ipm_writeDecimal(char* out, double value);
