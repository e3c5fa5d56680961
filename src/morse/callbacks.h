// The two functions libcw calls from its own thread while it plays.
#pragma once

namespace varkel {

void keying_callback(void* argument, int key_state) noexcept;
void low_queue_callback(void* argument) noexcept;

}  // namespace varkel
