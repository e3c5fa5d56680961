// The paddle on the simulated serial port: from a contact's closure to the
// key-down, the lengths of the paddle's elements and spaces, the iambic
// patterns sent back, break-in, and the CPU an idle paddle costs.
//
//   run_bench --paddle [--tries N] [--keep]
#pragma once

namespace bench {

int run_paddle(int argc, char** argv);

}  // namespace bench
