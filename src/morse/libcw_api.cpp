#include "morse/libcw_api.h"

#include <libcw_debug.h>

namespace varkel {

void set_libcw_debug_flags(long long flags) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    cw_set_debug_flags(static_cast<uint32_t>(flags));
#pragma GCC diagnostic pop
}

}  // namespace varkel
