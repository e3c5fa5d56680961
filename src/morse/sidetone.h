// The sidetone: the Morse the operator hears, on the chosen sound system.
//
// The key line follows libcw's legacy generator on the null sound system,
// whose thread keeps Morse time with its own sleeps. A generator that writes
// to a sound server is paced by the server's buffer instead, and its key
// edges would jitter by a buffer period and stall while a stream starts. So
// what is heard plays on a second generator of its own, fed the same
// characters and parameters; it lags the key line by the server's latency.
// On the null sound system there is nothing to hear and no second generator.
//
// Everything here runs on the main thread, except sidetone_key_edge, which
// the keying callback calls on libcw's thread, and which takes no lock and
// calls nothing in libcw.
#pragma once

#include <string_view>

namespace varkel {

// Opens and starts the sound system on the device (empty: the system's
// default); true when there is nothing to open. Creation and start are
// separate steps so that their failures are told apart, as for the key
// line's generator.
[[nodiscard]] bool sidetone_create(int sound_system, std::string_view device = {});
[[nodiscard]] bool sidetone_start();
// Stops and deletes it; harmless when there is none.
void sidetone_destroy();
[[nodiscard]] bool sidetone_present();

void sidetone_set_frequency(int hz);
void sidetone_set_speed(int wpm);
void sidetone_set_volume(int percent);
void sidetone_set_gap(int dots);
void sidetone_set_weighting(int library_weighting);
void sidetone_send_character(char character);
// One mark, '.' or '-', with the element space after it and no character
// space (a paddle's element).
void sidetone_send_element(char mark);
void sidetone_flush();
// Takes back the last character queued that has not begun; false when
// there is none.
[[nodiscard]] bool sidetone_remove_last_character();
// Falls silent at once (within the sound server's latency) and drops all
// that is queued, without waiting for the tone in progress; what is sent
// afterwards plays once that tone has run out in silence.
void sidetone_cut();

// The tuning carrier: a steady tone from now until the key line's tune
// ends, that is until the key goes up after it has been down for the tune.
// That key-up wakes the main thread, which then ends the carrier with
// sidetone_end_carrier_if_due (the sidetone lags by the server's latency
// anyway).
void sidetone_start_tune();
void sidetone_key_edge(int key_state) noexcept;
void sidetone_end_carrier_if_due();

}  // namespace varkel
