#pragma once

// The DLL exports what is marked and nothing else. Programs that use it
// reach functions through its import library and data through the
// toolchain's automatic import, so the mark is the same on both sides.
#define IPM_EXPORT __declspec(dllexport)

// A DLL exports a marked class whole.
#define IPM_HIDDEN
