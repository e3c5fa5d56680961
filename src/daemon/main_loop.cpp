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
#include "net/udp_endpoint.h"

namespace varkel {

std::atomic<bool> sigint_received{false};

namespace {

// SIGINT stays blocked except while the loop waits in pselect: a signal that
// arrives between two waits is then taken by the next wait instead of being
// missed for a day, and it never lands on one of libcw's threads, which
// inherit the blocked mask.
sigset_t g_wait_mask;
bool g_wait_mask_set = false;

// Printing and exiting are not safe in a signal handler: the main loop does
// both once select has been interrupted.
extern "C" void on_sigint(int) {
    sigint_received.store(true);
}

void exit_on_sigint() {
    if (sigint_received.load()) {
        fprintf(stdout, "%s: Exiting\n", kProgramName);
        fflush(stdout);
        exit_process(0);
    }
}

}  // namespace

void install_sigint_handler() {
    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: select must return with EINTR
    sigaction(SIGINT, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked, &g_wait_mask);
    sigdelset(&g_wait_mask, SIGINT);
    g_wait_mask_set = true;
}

void main_loop_pass() {
    fd_set readable;
    FD_ZERO(&readable);
    const int highest_fd = fill_endpoint_fd_set(&readable);

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
    exit_on_sigint();
    if (ready != -1 || select_errno == EINTR) {
        receive_request();
    } else {
        errno = select_errno;
        error_report("Select");
    }
    exit_on_sigint();

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
