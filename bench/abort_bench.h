// How fast an abort stops the transmitter, on the simulated serial port:
// from the datagram to the key going up in a tune and in the middle of a
// dash, the tune stopped by a tune of 0 seconds, the next datagram read,
// and a text sent right after an abort.
//
//   run_bench --abort [--quick] [--tries N] [--keep]
#pragma once

namespace bench {

int run_abort(int argc, char** argv);

}  // namespace bench
