#include "devices/parallel_port_io.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace varkel {

namespace {

static_assert(kClaimWaitMilliseconds < 1000, "the timer's first expiry is given in nanoseconds");
constexpr long kClaimWaitNanoseconds = kClaimWaitMilliseconds * 1000000L;
constexpr long kClaimRetryNanoseconds = 5 * 1000000L;

int linux_open(const char* path, int flags) {
    return ::open(path, flags);
}
int linux_fstat(int fd, struct stat* status) {
    return ::fstat(fd, status);
}
int linux_close(int fd) {
    return ::close(fd);
}

// Its only work is to end the claim's wait.
extern "C" void on_claim_timer(int) {}

// ppdev's claim waits, without a time limit and whatever the open flags
// say, while another program holds the port; only a caught signal ends the
// wait (with EINTR, also under SA_RESTART). A timer aimed at this thread
// sends one when the wait is over, and again every few milliseconds in case
// the first came before the request had begun to wait. A claim cut short
// leaves this open file on the port's waiting list, so it is not tried
// again: the caller closes the descriptor. EBUSY then says that the port
// is held.
int linux_claim(int fd) {
    const int signal_number = SIGRTMIN;
    struct sigaction action {};
    action.sa_handler = on_claim_timer;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    struct sigaction previous {};
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = signal_number;
    event._sigev_un._tid = gettid();  // glibc names no field for it
    timer_t timer{};
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, signal_number);
    sigset_t mask{};
    if (sigaction(signal_number, &action, &previous) == -1) {
        return -1;
    }
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) == -1) {
        const int error = errno;
        sigaction(signal_number, &previous, nullptr);
        errno = error;
        return -1;
    }
    pthread_sigmask(SIG_UNBLOCK, &wanted, &mask);
    const itimerspec bound{.it_interval = {0, kClaimRetryNanoseconds},
                           .it_value = {0, kClaimWaitNanoseconds}};
    timer_settime(timer, 0, &bound, nullptr);
    int result = ioctl(fd, PPCLAIM);
    int error = errno;
    // Deleting the timer also withdraws a signal of it still pending.
    timer_delete(timer);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    sigaction(signal_number, &previous, nullptr);
    if (result == -1 && error == EINTR) {
        error = EBUSY;
    }
    errno = error;
    return result;
}
int linux_read_control(int fd, unsigned char* value) {
    return ioctl(fd, PPRCONTROL, value);
}
int linux_write_control(int fd, unsigned char value) {
    return ioctl(fd, PPWCONTROL, &value);
}
int linux_write_data(int fd, unsigned char value) {
    return ioctl(fd, PPWDATA, &value);
}
int linux_read_status(int fd, unsigned char* value) {
    return ioctl(fd, PPRSTATUS, value);
}

}  // namespace

const ParallelPortIo kLinuxParallelPortIo{
    .open = linux_open,
    .fstat = linux_fstat,
    .close = linux_close,
    .claim = linux_claim,
    .read_control = linux_read_control,
    .write_control = linux_write_control,
    .write_data = linux_write_data,
    .read_status = linux_read_status,
};

ParallelPortIo parallel_port_io = kLinuxParallelPortIo;

}  // namespace varkel
