// PTT tail and hang: automatic PTT stays up a while after the last key-up,
// so that an amplifier's relay opens only once the RF has decayed, and
// keyboard or paddle sending keeps PTT between characters and words.
//
// The fall at the end of a hold is timed by a thread of its own that waits
// on a futex to an absolute time reckoned from the last key-up: nothing
// runs while the daemon is idle, a hold does not sit in libcw's queue (so a
// text during a hold keys at once, and no wait for the queue waits for a
// hold), and the fall is exact to the wake-up of one thread. With neither
// setting the thread is not started and PTT falls where it always did.
#pragma once

#include <cstdint>

namespace varkel {

inline constexpr int kPttTailMsMax = 2550;
inline constexpr double kPttHangWordSpacesMax = 8.0;

struct PttHold {
    int tail_ms = 0;              // PTT falls no earlier than this after the last key-up
    double hang_word_spaces = 0;  // nor this many word spaces (7 dots) after it
};

// Set by the command line before any thread exists, read only afterwards.
extern PttHold ptt_hold;

// One "-o ptt-tail=<ms>" (0..2550) or "-o ptt-hang=<word spaces>" (0..8,
// decimals allowed) into hold; false (hold unchanged) for any other text.
bool read_ptt_hold_option(const char* text, PttHold& hold);

// Starts the thread that ends holds when a tail or hang is set; start-up
// calls it once the scheduling of the daemon's threads is settled.
void start_ptt_hold();

// Under the PTT decision lock, with automatic PTT on and nothing left to
// key: keeps PTT up for the hold, reckoned from the last key-up (or from
// the key-up that is about to come when the key is still down), and logs
// it. False, with nothing done, when no hold is set: the caller drops PTT.
bool ptt_hold_begin_locked();

// After an abort has lifted the key: automatic PTT that no client holds
// stays up for the hold, and a pending echo is dropped (the abort notice
// has answered it). False, with nothing done, when PTT is to fall now.
bool ptt_hold_after_abort();

// A hold ends now without its fall: PTT is raised for sending again, or
// dropped by other means. Cheap when no hold runs.
void ptt_hold_cancel();

// At exit, with the key already lifted: when a hold runs or automatic PTT
// is on, PTT falls after the hold but no more than a second from now; the
// thread drops it while the generator is being stopped. True when PTT is to
// be left up for that (the caller lifts only the key).
bool ptt_hold_begin_exit();
// Waits for that fall (or ends the thread when there was none).
void ptt_hold_finish_exit();

}  // namespace varkel
