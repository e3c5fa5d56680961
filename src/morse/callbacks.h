// The two functions libcw calls from its own thread while it plays.
#pragma once

#include <atomic>
#include <cstdint>

namespace varkel {

// How many 1-second waits the main loop has used since the last key edge;
// the keying callback sets it to 0, so that the loop polls the foot switch
// every second while Morse is being sent.
extern std::atomic<int32_t> short_timeout_counter;

// A text is being queued or waits to be, a tune is being queued, or the
// operator is sending with the paddle: the queue is still filling, and
// automatic PTT must stay up.
bool sending_pending();

void keying_callback(void* argument, int key_state) noexcept;
void low_queue_callback(void* argument) noexcept;

}  // namespace varkel
