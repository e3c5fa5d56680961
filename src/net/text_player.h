// Plays a text request as Morse, with its in-band speed, gap and echo marks.
#pragma once

namespace varkel {

// text is the message buffer; it is empty again when this returns.
void play_message(char* text);

}  // namespace varkel
