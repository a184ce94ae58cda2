#pragma once

// A failed system call during an orderly disconnect: its name and error code.
// Thrown by value.
struct omi_FatalError {
    const char* call;
    int code;
};
