#include "core/main_wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace varkel {

namespace {

std::atomic<int> g_wake_fd{-1};
// Set by the first wake-up after the main thread took the last one: later
// ones make no system call until it has been taken.
std::atomic<bool> g_wake_pending{false};

}  // namespace

bool open_main_wake() {
    if (g_wake_fd.load() != -1) {
        return true;
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd == -1) {
        return false;
    }
    g_wake_fd.store(fd);
    return true;
}

void close_main_wake() {
    const int fd = g_wake_fd.exchange(-1);
    if (fd != -1) {
        close(fd);
    }
    g_wake_pending.store(false);
}

int main_wake_fd() {
    return g_wake_fd.load();
}

void wake_main_thread() noexcept {
    const int fd = g_wake_fd.load();
    if (fd == -1 || g_wake_pending.exchange(true)) {
        return;
    }
    // Never blocks: the counter cannot overflow with one write per taking.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

void take_main_wake() {
    // The counter first, then the mark: the other way round, a wake-up
    // written between the two would be read here while its mark stayed set,
    // and every later one would then make no write and wake nobody.
    const int fd = g_wake_fd.load();
    if (fd != -1) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
    }
    g_wake_pending.store(false);
}

}  // namespace varkel
