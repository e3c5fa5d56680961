// What is keyed and what is heard: each of these goes to the key line's
// generator and to the sidetone alike, so that the two never disagree on
// the Morse they send.
#pragma once

namespace varkel {

void output_frequency(int hz);
void output_speed(int wpm);
void output_volume(int percent);
void output_gap(int dots);
void output_weighting(int library_weighting);
void output_character(char character);
// Drops everything queued; the element being keyed still ends on time.
void output_flush();

}  // namespace varkel
