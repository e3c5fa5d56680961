// Why PTT is on (the PTT flags), raising it with its delay, dropping it.
#pragma once

#include <array>
#include <cstdint>

namespace varkel {

struct KeyingDevice;

inline constexpr uint8_t PTT_ACTIVE_AUTO = 0x01;    // raised for sending
inline constexpr uint8_t PTT_ACTIVE_MANUAL = 0x02;  // held by a client
inline constexpr uint8_t PTT_ACTIVE_ECHO = 0x04;    // an echo reply is pending

using PttFlagText = std::array<char, 4>;

// "ame" with capitals for the set bits.
PttFlagText ptt_flag_text(uint8_t flags);

// The flags are shared with libcw's thread; each change is one atomic
// read-modify-write and returns the new value, which the caller logs.
uint8_t ptt_flags();
uint8_t ptt_flags_set(uint8_t bits);
uint8_t ptt_flags_clear(uint8_t bits);
void ptt_flags_clear_all();  // logs DD "PTT flag = 0 (0x00/ame)"

void sleep_microseconds(long microseconds);
void ptt_auto_on(KeyingDevice* device, const char* message);
// The same with the PTT delay given, for a thread that must not read the
// settings, which the main thread changes.
void ptt_auto_on_with_delay(KeyingDevice* device, const char* message, int delay_ms);
void ptt_off(KeyingDevice* device, const char* message);

}  // namespace varkel
