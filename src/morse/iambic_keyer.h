// The iambic keyer: paddle states and times in, Morse elements out. No
// input or output of its own, so that the paddle's thread drives it from a
// serial port and a test drives it from a script.
//
// The first element starts at the closure that wakes an idle keyer. Each
// following one is chosen when it is due, at the end of the element space
// after the one before, from the paddles at that moment: the opposite of
// the last element when its paddle is closed (a squeeze too) or was closed
// at any time since that element began (the memory), else the same element
// again while its own paddle is closed or was closed again after the
// element ended, else nothing and the keyer is idle.
// Mode A differs in one thing: when both paddles are open after a squeeze
// seen since the last element began, the memory is cleared, so the element
// in progress ends and nothing follows.
#pragma once

#include <cstdint>

namespace varkel {

enum class KeyerMode : uint8_t { iambic_b, iambic_a };
enum class KeyerElement : uint8_t { none, dot, dash };

// Lengths in microseconds, as the key line's Morse has them at the moment
// an element is chosen (speed and weighting may change between elements).
struct KeyerTiming {
    int64_t dot;
    int64_t dash;
    int64_t space;  // the element space that follows every element
};

struct IambicKeyer {
    KeyerMode mode = KeyerMode::iambic_b;
    bool dit = false;  // the paddles as last reported
    bool dah = false;
    bool sending = false;
    KeyerElement last = KeyerElement::none;  // the element in progress or last chosen
    int64_t element_end = 0;                 // when that element's key-up is due
    int64_t due = 0;                         // when the next element is chosen
    bool dit_memory = false;
    bool dah_memory = false;
    bool squeeze_seen = false;  // both closed since the last element began
};

// Idle, with open paddles, in the mode given.
void keyer_reset(IambicKeyer& keyer, KeyerMode mode);

// The paddles from time now on. An idle keyer that sees a closure starts
// its first element at now and returns it; otherwise none.
KeyerElement keyer_paddles(IambicKeyer& keyer, bool dit, bool dah, int64_t now,
                           const KeyerTiming& timing);

// At keyer.due (call it once the due time has come, before reporting any
// later paddle change): the element that starts at keyer.due, or none, and
// the keyer is idle from then on.
KeyerElement keyer_at_due(IambicKeyer& keyer, const KeyerTiming& timing);

// Length of an element in the timing.
int64_t keyer_element_length(KeyerElement element, const KeyerTiming& timing);

}  // namespace varkel
