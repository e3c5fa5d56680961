#include "morse/callbacks.h"
// STUB: to be written.
namespace varkel {
void keying_callback(void*, int) noexcept {}
void low_queue_callback(void*) noexcept {}
}  // namespace varkel
