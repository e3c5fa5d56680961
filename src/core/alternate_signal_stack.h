// An alternate signal stack for the calling thread, so that the fatal
// signal handler can still run, and bring the transmitter to rest, when a
// thread has overflowed its own stack. Each thread needs one of its own:
// threads do not inherit it. The main thread sets it up at start-up; the
// threads libcw and the sidetone start run it on their first call into
// this daemon's code.
#pragma once

namespace varkel {

// Idempotent and cheap after the first call on a thread (one thread-local
// test). Leaves a stack already in place (a sanitizer's) as it is. The
// stacks come from a fixed pool, given back when the thread ends; a thread
// beyond the pool goes without one.
void use_alternate_signal_stack() noexcept;

}  // namespace varkel
