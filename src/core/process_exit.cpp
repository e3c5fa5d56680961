#include "core/process_exit.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/logging.h"

namespace varkel {

namespace {

pthread_t g_main_thread;
std::atomic<bool> g_main_thread_known{false};
std::atomic<bool> g_process_ending{false};

}  // namespace

void note_main_thread() {
    g_main_thread = pthread_self();
    g_main_thread_known.store(true, std::memory_order_release);
}

bool on_main_thread() {
    return !g_main_thread_known.load(std::memory_order_acquire) ||
           pthread_equal(g_main_thread, pthread_self()) != 0;
}

bool process_is_ending() {
    return g_process_ending.load(std::memory_order_acquire);
}

void exit_process(int status) {
    bool expected = false;
    const bool first = g_process_ending.compare_exchange_strong(expected, true);
    if (on_main_thread()) {
        if (!first) {
            // A clean-up handler failed while the handlers run.
            write_handed_over_log_lines();
            fflush(nullptr);
            _exit(status);
        }
        exit(status);
    }
    if (!first) {
        // The main thread is ending the process and will stop libcw's
        // thread; let this callback return.
        return;
    }
    // On libcw's thread: the clean-up would stop the generator from inside
    // its own thread. The kernel closes the port and the socket. The lines
    // handed over to the main thread are written here, as it will not.
    write_handed_over_log_lines();
    fflush(nullptr);
    _exit(status);
}

}  // namespace varkel
