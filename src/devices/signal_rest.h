// Putting the transmitter at rest from a signal handler: a crash cannot wait
// for the main loop, may come on any thread and may find the device lock
// held, so the port to rest and how are published beforehand, whenever the
// current device changes, and the handler only reads them.
#pragma once

#include <cstdint>

namespace varkel {

struct KeyingDevice;

// The device a fatal signal must bring to rest, open as fd; null (or a
// device with nothing to rest) when there is none. Called under the
// device lock on every change of the current device.
void publish_signal_rest(const KeyingDevice* device, int32_t fd);

// Key, then PTT, of the published port to their rest, through the driver's
// platform table; drives nothing more afterwards. Async-signal-safe: reads
// one atomic and makes the port's requests, nothing else.
void rest_device_from_signal();

// Whether rest_device_from_signal has run: the device wrappers then drive
// nothing more, so another thread does not key the port again.
bool device_rested_by_signal();

// Bracket every driver call of the device wrappers, the test of
// device_rested_by_signal before it included. A call that passed its test
// just before a signal's rest reaches the port after it: the end of the
// bracket then rests the port again, and the handler, for its part, waits
// a moment for calls under way and rests again after them, since the
// process may die before their thread gets that far.
// made: whether the driver was called in the bracket.
void driver_call_begin();
void driver_call_end(bool made);

void reset_signal_rest_for_tests();

}  // namespace varkel
