// Real-time scheduling for the threads that time the key line. Under load
// the scheduler wakes an ordinary thread milliseconds late, which stretches
// a Morse element on the air; SCHED_FIFO wakes it on time. Best effort: a
// refusal is logged once and the daemon keys on at normal priority.
#pragma once

namespace varkel {

// Above every ordinary thread, well below the kernel's interrupt threads
// (50) and the watchdogs above them. Neither thread that runs at it ever
// spins: both sleep until a datagram, a tone's end or a timeout.
inline constexpr int kRealtimePriority = 20;

// Puts the calling thread, and every thread it creates afterwards, under
// SCHED_FIFO at kRealtimePriority. When that is refused it logs one WW
// line, the first time only, and returns false.
bool enter_realtime_scheduling();

// While one of these lives, the calling thread runs at normal priority, so
// that threads created meanwhile (the sound system's) do not inherit
// real-time priority; the destructor restores what was there before.
class NormalSchedulingScope {
  public:
    NormalSchedulingScope();
    ~NormalSchedulingScope();
    NormalSchedulingScope(const NormalSchedulingScope&) = delete;
    NormalSchedulingScope& operator=(const NormalSchedulingScope&) = delete;

  private:
    bool was_realtime_ = false;
};

}  // namespace varkel
