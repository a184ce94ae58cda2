#pragma once

// Everything is hidden by default; the exported interface says so explicitly.
#define IPM_EXPORT __attribute__((visibility("default")))
