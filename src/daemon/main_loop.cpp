#include "daemon/main_loop.h"

#include <pthread.h>
#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "core/logging.h"
#include "core/process_exit.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/paddle.h"
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

    timespec timeout{};
    int32_t passes = short_timeout_counter.load();
    if (passes < kShortTimeoutPasses) {
        // A lost update against the keying callback only changes how many
        // short waits follow an edge.
        short_timeout_counter.compare_exchange_strong(passes, passes + 1);
        timeout.tv_sec = kShortTimeoutSeconds;
    } else {
        timeout.tv_sec = kLongTimeoutSeconds;
    }
    timeout.tv_nsec = 0;

    const int ready = pselect(highest_fd + 1, &readable, nullptr, nullptr, &timeout,
                              g_wait_mask_set ? &g_wait_mask : nullptr);
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

    KeyingDevice* device = current_device.load();
    if (device->read_ptt_switch != nullptr) {
        const int32_t pressed_open = device_read_ptt_switch(device);
        device_ptt(device, pressed_open == 0 ? 1 : 0);
    }
}

void run_main_loop() {
    for (;;) {
        main_loop_pass();
    }
}

}  // namespace varkel
