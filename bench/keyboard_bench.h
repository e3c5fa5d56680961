// Keyboard sending on the simulated serial port with a PTT delay of 20 ms:
// a character per datagram, each sent as soon as the one before has been
// keyed, as a logger's keyboard mode does. Counts PTT drops inside the text
// without a hang (as before) and with ptt-hang=1, the character gaps
// against the Morse spacing and the sender's own delay, and when PTT falls
// after the last key-up; then ptt-tail=500: when PTT falls, and how soon a
// text sent in the tail is keyed.
//
//   run_bench --keyboard [--quick] [--tries N] [--keep]
#pragma once

namespace bench {

int run_keyboard(int argc, char** argv);

}  // namespace bench
