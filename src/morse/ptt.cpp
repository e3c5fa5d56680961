#include "morse/ptt.h"
// STUB: to be written.
namespace varkel {
PttFlagText ptt_flag_text(uint8_t) { return {'a', 'm', 'e', '\0'}; }
uint8_t ptt_flags() { return 0; }
uint8_t ptt_flags_set(uint8_t) { return 0; }
uint8_t ptt_flags_clear(uint8_t) { return 0; }
void ptt_flags_clear_all() {}
void sleep_microseconds(long) {}
void ptt_auto_on(KeyingDevice*, const char*) {}
void ptt_off(KeyingDevice*, const char*) {}
}  // namespace varkel
