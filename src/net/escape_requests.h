// The control requests: a datagram of ESC, a code byte and an argument.
#pragma once

namespace varkel {

// Request 6 sets it, request 0 clears it; only request 4 reads it.
extern bool word_mode;

// request holds ESC at index 0, the code at 1 and the argument from 2.
void handle_escape_request(char* request);

// A paddle closure broke into the transmission: it stops as for request 4,
// in word mode too (the operator's hand outranks the logger's text).
void break_in_transmission();

}  // namespace varkel
