// libcw's legacy API, in one place so that the deprecation of the debug
// flags call is silenced once.
#pragma once

#include <libcw.h>

namespace varkel {

// cw_set_debug_flags is marked deprecated in libcw 3.6 but is still the only
// way to hand libcw the operator's debug flags.
void set_libcw_debug_flags(long long flags);

}  // namespace varkel
