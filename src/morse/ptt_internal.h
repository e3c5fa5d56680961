// What the low-queue callback needs from PTT control beyond ptt.h: the lock
// under which it decides to drop automatic PTT, and the flag changes it
// makes while holding that lock.
#pragma once

#include <cstdint>
#include <mutex>

namespace varkel {

struct KeyingDevice;

// Serialises every change of the PTT flags, and the main thread's test of
// PTT_ACTIVE_AUTO in ptt_auto_on, against the low-queue callback's decision
// to drop automatic PTT and the drop itself. The main thread holds it only
// for a flag read or change, never across a device or libcw call or a log
// line, so the callback never waits long and never waits on the main
// thread's queue wait or on a stuck log output.
extern std::mutex g_ptt_decision_mutex;

// The same as in ptt.h, for a caller already holding the lock.
void ptt_flags_clear_all_locked();
void ptt_off_locked(KeyingDevice* device, const char* message);

}  // namespace varkel
