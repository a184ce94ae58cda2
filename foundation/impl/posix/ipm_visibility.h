#pragma once

// Everything is hidden by default; the exported interface says so explicitly.
#define IPM_EXPORT __attribute__((visibility("default")))

// For members an exported class keeps to the library (the class's type
// information is exported, these functions are not).
#define IPM_HIDDEN __attribute__((visibility("hidden")))
