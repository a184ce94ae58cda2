#pragma once

#include <ostream>
#include <string_view>

#include "foundation/aio_ostream.h"
#include "foundation/cow_String.h"

// Where fuzz_touch leaves its sum, so the reads cannot be optimised away.
inline volatile unsigned char fuzz_sink;

// Reads every byte, so the sanitizers see any field that points at freed or
// foreign memory.
inline void fuzz_touch(std::string_view bytes) {
    unsigned char sum = 0;
    for (char c : bytes) sum = static_cast<unsigned char>(sum * 31 + static_cast<unsigned char>(c));
    fuzz_sink = sum;
}

inline void fuzz_touch(const cow_String& text) { fuzz_touch(text.view()); }

// The library's diagnostic lines would bury the fuzzer's own report.
inline void fuzz_silenceConsole() {
    static std::ostream nowhere(nullptr);
    aio_cout.SetTarget(nowhere);
}
