// The one way every part of the daemon ends the process, from the main
// thread or from libcw's.
#pragma once

namespace varkel {

// Remembers the calling thread as the main thread; start-up calls it first.
void note_main_thread();
bool on_main_thread();

// Ends the process with the status. On the main thread this is exit(), so
// the clean-up handlers run newest first. A second call while they run (a
// handler that fails) ends at once with _exit(). Called on libcw's thread
// (a keying port that fails inside a callback) it must not run the handlers
// there: stopping the generator from its own thread would wait on itself,
// so the streams are flushed and the process ends with _exit(). If the main
// thread is already ending the process, the call returns and the caller
// gives up its work, so that the main thread can stop the generator.
void exit_process(int status);

// True once exit_process has begun ending the process.
bool process_is_ending();

}  // namespace varkel
