#include "daemon/main_loop.h"

#include <pthread.h>
#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "core/logging.h"
#include "core/main_wake.h"
#include "core/process_exit.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/paddle.h"
#include "morse/sidetone.h"
#include "net/escape_requests.h"
#include "net/udp_endpoint.h"

namespace varkel {

std::atomic<bool> exit_signal_received{false};

namespace {

// The signals that end the process through the clean-up stay blocked except
// while the loop waits in pselect: a signal that arrives between two waits
// is then taken by the next wait instead of being missed for a day, and it
// never lands on one of libcw's threads, which inherit the blocked mask.
sigset_t g_wait_mask;
bool g_wait_mask_set = false;

// Printing and exiting are not safe in a signal handler: the main loop does
// both once select has been interrupted.
extern "C" void on_exit_signal(int) {
    exit_signal_received.store(true);
}

void exit_on_signal() {
    if (exit_signal_received.load()) {
        write_handed_over_log_lines();
        fprintf(stdout, "%s: Exiting\n", kProgramName);
        fflush(stdout);
        exit_process(0);
    }
}

// What the paddle's thread asked for: the stop of a transmission it broke
// into, or the text that waited for it to go idle.
void serve_paddle() {
    paddle_clear_events();
    if (paddle_take_break_in()) {
        break_in_transmission();
        paddle_break_in_done();
    }
    play_waiting_text();
}

constexpr long kNanosecondsPerSecond = 1'000'000'000;

timespec now_monotonic() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// The time from now to the deadline, 0 once it has passed.
timespec time_left(const timespec& deadline) {
    const timespec now = now_monotonic();
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += kNanosecondsPerSecond;
        --left.tv_sec;
    }
    if (left.tv_sec < 0) {
        return {0, 0};
    }
    return left;
}

// What libcw's thread handed over to this one: its log lines and the end
// of a sidetone carrier.
void serve_main_wake() {
    take_main_wake();
    write_handed_over_log_lines();
    sidetone_end_carrier_if_due();
}

// One pass's wait: pselect on the sockets for the pass's timeout. A wake-up
// that only hands work over is served here and the wait goes on to the same
// deadline: it is no pass, reads no datagram and leaves the timeout as it
// was. Returns what pselect returned, with its errno; readable then holds
// only sockets.
int wait_for_request(fd_set* readable, int highest_fd, long timeout_seconds) {
    const int wake_fd = main_wake_fd();
    const fd_set sockets = *readable;
    timespec deadline = now_monotonic();
    deadline.tv_sec += timeout_seconds;
    timespec timeout{timeout_seconds, 0};
    for (;;) {
        *readable = sockets;
        if (wake_fd != -1) {
            FD_SET(wake_fd, readable);
        }
        const int top = wake_fd > highest_fd ? wake_fd : highest_fd;
        int ready = pselect(top + 1, readable, nullptr, nullptr, &timeout,
                            g_wait_mask_set ? &g_wait_mask : nullptr);
        if (ready > 0 && wake_fd != -1 && FD_ISSET(wake_fd, readable)) {
            FD_CLR(wake_fd, readable);
            --ready;
            const int saved_errno = errno;
            serve_main_wake();
            errno = saved_errno;
            if (ready == 0) {
                timeout = time_left(deadline);
                continue;
            }
        }
        return ready;
    }
}

}  // namespace

void install_exit_signal_handlers(bool foreground) {
    struct sigaction action {};
    action.sa_handler = on_exit_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: select must return with EINTR
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // Detached, SIGINT keeps what the crash handlers gave it: rest, then
        // the default action. A SIGTERM or SIGHUP the process was started
        // with ignored (nohup) stays ignored.
        struct sigaction previous {};
        if ((sig == SIGINT && !foreground) ||
            (sig != SIGINT && sigaction(sig, nullptr, &previous) == 0 &&
             previous.sa_handler == SIG_IGN)) {
            continue;
        }
        sigaction(sig, &action, nullptr);
        sigaddset(&blocked, sig);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &g_wait_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigismember(&blocked, sig) == 1) {
            sigdelset(&g_wait_mask, sig);
        }
    }
    g_wait_mask_set = true;
}

void main_loop_pass() {
    fd_set readable;
    FD_ZERO(&readable);
    int highest_fd = fill_endpoint_fd_set(&readable);
    const int paddle_fd = paddle_event_fd();
    if (paddle_fd != -1) {
        FD_SET(paddle_fd, &readable);
        highest_fd = paddle_fd > highest_fd ? paddle_fd : highest_fd;
    }

    long timeout_seconds = kLongTimeoutSeconds;
    int32_t passes = short_timeout_counter.load();
    if (passes < kShortTimeoutPasses) {
        // A lost update against the keying callback only changes how many
        // short waits follow an edge.
        short_timeout_counter.compare_exchange_strong(passes, passes + 1);
        timeout_seconds = kShortTimeoutSeconds;
    }

    const int ready = wait_for_request(&readable, highest_fd, timeout_seconds);
    const int select_errno = errno;
    exit_on_signal();
    if (ready != -1 || select_errno == EINTR) {
        receive_request();
    } else {
        errno = select_errno;
        error_report("Select");
    }
    exit_on_signal();
    if (paddle_fd != -1 && ready > 0 && FD_ISSET(paddle_fd, &readable)) {
        serve_paddle();
    }

    // Acts only on a change of the switch: PTT that the daemon holds for a
    // text or a client must not fall under a keyed line at a wake-up.
    device_follow_ptt_switch(current_device.load());
}

void run_main_loop() {
    for (;;) {
        main_loop_pass();
    }
}

}  // namespace varkel
