// The station matrix: the daemon and the libcw floor side by side on each
// sound system, idle and under CPU and I/O load, with real-time
// scheduling granted and refused, with the platform probe beside each row
// to tell the machine's stalls from the programs' own lateness. Prints one
// table and a summary of what the daemon controls.
#pragma once

namespace bench {

// run_bench --station [--texts N] [--resets N] [--sound n|p|w...] [--keep];
// argv[0] is "--station". Needs root: it grants and refuses real-time
// priority, switches user and starts sound servers and the load.
int run_station(int argc, char** argv);

}  // namespace bench
