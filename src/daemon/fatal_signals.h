// Signals that end the process where it stands: before it dies the current
// device's key and PTT go to rest, then the signal does what it would have
// done (same status, same core file).
#pragma once

namespace varkel {

// Installs the rest-then-die handler for every signal whose default action
// ends the process (crashes, SIGQUIT, SIGPIPE, SIGUSR1, ...; not SIGALRM,
// which libcw uses), also SIGINT, SIGTERM and SIGHUP until the main loop
// takes those over. A signal that the process inherited ignored stays
// ignored. The main thread gets an alternate stack, so that a stack
// overflow still reaches the handler (the threads that run the daemon's
// code later take theirs, core/alternate_signal_stack.h). Called first
// thing at start-up.
void install_fatal_signal_handlers();

}  // namespace varkel
