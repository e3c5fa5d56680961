#include "morse/output.h"

#include "morse/libcw_api.h"
#include "morse/sidetone.h"

namespace varkel {

void output_frequency(int hz) {
    cw_set_frequency(hz);
    sidetone_set_frequency(hz);
}

void output_speed(int wpm) {
    cw_set_send_speed(wpm);
    sidetone_set_speed(wpm);
}

void output_volume(int percent) {
    cw_set_volume(percent);
    sidetone_set_volume(percent);
}

void output_gap(int dots) {
    cw_set_gap(dots);
    sidetone_set_gap(dots);
}

void output_weighting(int library_weighting) {
    cw_set_weighting(library_weighting);
    sidetone_set_weighting(library_weighting);
}

void output_character(char character) {
    cw_send_character(character);
    sidetone_send_character(character);
}

void output_flush() {
    cw_flush_tone_queue();
    sidetone_flush();
}

}  // namespace varkel
