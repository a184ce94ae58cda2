#pragma once

// Writes the shortest text that reads back as `value`, exactly as
// std::to_chars(first, last, value) writes it, to `out`, which has room for
// 64 characters; returns the end of the text. Doubles with few decimals (a
// job's times, loads and factors mostly are) take a short path that needs no
// general shortest-digits search.
char* ipm_writeDecimal(char* out, double value);
