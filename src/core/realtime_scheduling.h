// Real-time scheduling for the threads that time the key line. Under load
// the scheduler wakes an ordinary thread milliseconds late, which stretches
// a Morse element on the air; a real-time policy wakes it on time. Best
// effort: a refusal is logged once and the daemon keys on at normal
// priority.
//
// Two ways to it: SCHED_FIFO set directly, where RLIMIT_RTPRIO allows it
// (root, or the system service's LimitRTPRIO=20), and otherwise RealtimeKit
// on the system bus, which desktops run for their sound servers and which
// grants an ordinary user SCHED_RR with SCHED_RESET_ON_FORK, per thread.
#pragma once

#include <sys/types.h>

#include <vector>

namespace varkel {

// Above every ordinary thread, well below the kernel's interrupt threads
// (50) and the watchdogs above them. Neither thread that runs at it ever
// spins: both sleep until a datagram, a tone's end or a timeout.
inline constexpr int kRealtimePriority = 20;

// Puts the calling thread under SCHED_FIFO at kRealtimePriority, and so
// every thread it creates afterwards; where that is refused, asks
// RealtimeKit for SCHED_RR for it. When both refuse, one WW line (the
// first time only) and false.
bool enter_realtime_scheduling();

// One II line saying how real time was obtained, if it was: logged apart,
// once the log's threshold is the one the command line chose.
void report_realtime_scheduling();

// How the calling thread sets SCHED_FIFO: 0 or an errno. Tests replace it,
// since root is never refused.
extern int (*set_calling_thread_fifo)(int priority);

// While one of these lives, the calling thread runs at normal priority, so
// that threads created meanwhile (the sound system's) do not inherit
// real-time priority; the destructor restores what was there before.
// Under RealtimeKit's grant new threads inherit nothing: it does nothing.
class NormalSchedulingScope {
  public:
    NormalSchedulingScope();
    ~NormalSchedulingScope();
    NormalSchedulingScope(const NormalSchedulingScope&) = delete;
    NormalSchedulingScope& operator=(const NormalSchedulingScope&) = delete;

  private:
    bool was_realtime_ = false;
};

// Threads created while one of these lives (libcw's keying thread) get
// real time too: under RealtimeKit, whose grant new threads do not inherit,
// the destructor names each of them (at most 15 characters) and asks for
// it. Otherwise it does nothing.
class RealtimeForNewThreads {
  public:
    explicit RealtimeForNewThreads(const char* thread_name);
    ~RealtimeForNewThreads();
    RealtimeForNewThreads(const RealtimeForNewThreads&) = delete;
    RealtimeForNewThreads& operator=(const RealtimeForNewThreads&) = delete;

  private:
    const char* thread_name_;
    bool active_ = false;
    std::vector<pid_t> before_;
};

void reset_realtime_scheduling_for_tests();

}  // namespace varkel
