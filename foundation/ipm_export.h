#pragma once

// IPM_EXPORT marks the exported interface, IPM_HIDDEN the members an exported
// class keeps to the library; each platform says how.
#include "ipm_visibility.h"
