// The paddle: two contacts on input lines of the serial keying port, read
// by a thread of their own and keyed by the iambic keyer through the key
// line's generator, so that the keying callback, the key line's clock, PTT
// and the sidetone treat its elements as they treat a text's.
//
// The thread sleeps in TIOCMIWAIT while the paddle is idle (no CPU), and
// reads the lines every millisecond while it sends, until one word space
// after its last element. It asks the main thread for two things through
// paddle_event_fd: to stop a transmission that a closure broke into, and
// to play a text that waited for the paddle to go idle.
#pragma once

#include <cstdint>

namespace varkel {

// Starts the thread when a paddle was configured, at the calling thread's
// scheduling. False (logged) when the thread cannot be made; the daemon
// goes on without the paddle.
bool paddle_start();
// Ends the thread and waits for it. A TIOCMIWAIT in progress does not end
// when its descriptor is closed, so the thread is signalled.
void paddle_stop();
// A keying device has been selected: the thread looks again at which one.
void paddle_device_changed();
// After a request: the thread takes the settings it uses (the PTT delay)
// from the main thread's record.
void paddle_settings_changed();

// Readable while the main thread has something to do for the paddle; -1
// without a paddle.
int paddle_event_fd();
void paddle_clear_events();
// True once for each closure that broke into a transmission: the caller
// stops it as request 4 does, then calls paddle_break_in_done.
bool paddle_take_break_in();
void paddle_break_in_done();

// A text may be queued unless the paddle is in use (sending, or within a
// word space of its last element). True marks the text as being queued
// until paddle_text_queued, so that a closure meanwhile breaks into it.
bool paddle_text_may_start();
void paddle_text_queued();

// Whether automatic PTT stays up for the paddle: it is in use.
bool paddle_holds_ptt();
// Whether the paddle is keying elements now.
bool paddle_sending();

}  // namespace varkel
