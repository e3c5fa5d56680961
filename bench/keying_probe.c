/* Preloaded into a program that drives libcw (the daemon or the floor
 * program) to timestamp the moment libcw calls the keying callback.
 *
 * cw_register_keying_callback is wrapped: libcw gets a trampoline instead
 * of the program's callback. The trampoline reads CLOCK_MONOTONIC first,
 * then calls the program's callback, and only then writes its record, so
 * the writing never counts against the program. The simulated port records
 * the time of the ioctl that mirrors the edge; the difference is what the
 * program adds per edge.
 *
 * Records go to the file named by KEYING_PROBE_LOG, one per line:
 *   R <ns>           the program registered its keying callback
 *   K <ns> <state>   libcw called the keying callback with this key state
 * Without KEYING_PROBE_LOG the trampoline only passes calls on.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef void (*KeyingCallback)(void*, int);
typedef void (*RegisterKeyingCallback)(KeyingCallback, void*);

enum { kRecordSize = 64 };

/* Written by the program's thread that registers, read by libcw's thread.
 * The callback and its argument are published together by the release
 * store of the callback, which is stored last. The callback starts out
 * null as every static does: clang refuses NULL, a void pointer, as the
 * initializer of an atomic function pointer. */
static _Atomic(KeyingCallback) g_callback;
static _Atomic(void*) g_argument = NULL;
static _Atomic int g_log_fd = -1;
static atomic_flag g_log_opened = ATOMIC_FLAG_INIT;

static int64_t monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int log_fd(void) {
    if (!atomic_flag_test_and_set(&g_log_opened)) {
        const char* path = getenv("KEYING_PROBE_LOG");
        if (path != NULL && path[0] != '\0') {
            atomic_store(&g_log_fd,
                         open(path, O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0644));
        }
    }
    return atomic_load(&g_log_fd);
}

/* One write per record: O_APPEND keeps records whole. */
static void write_record(const char* text, int length) {
    const int fd = log_fd();
    if (fd >= 0 && length > 0 && length < kRecordSize) {
        ssize_t written = write(fd, text, (size_t)length);
        (void)written;
    }
}

static void trampoline(void* argument, int key_state) {
    const int64_t called_ns = monotonic_ns();
    (void)argument;
    const KeyingCallback callback = atomic_load_explicit(&g_callback, memory_order_acquire);
    if (callback != NULL) {
        callback(atomic_load_explicit(&g_argument, memory_order_relaxed), key_state);
    }
    char record[kRecordSize];
    const int length =
        snprintf(record, sizeof record, "K %lld %d\n", (long long)called_ns, key_state);
    write_record(record, length);
}

void cw_register_keying_callback(KeyingCallback callback, void* argument) {
    static RegisterKeyingCallback real_register = NULL;
    if (real_register == NULL) {
        /* memcpy: ISO C has no cast from an object pointer to a function
         * pointer, while POSIX guarantees dlsym's result converts. */
        void* symbol = dlsym(RTLD_NEXT, "cw_register_keying_callback");
        if (symbol == NULL) {
            static const char kMissing[] = "keying_probe: libcw is not loaded\n";
            ssize_t written = write(STDERR_FILENO, kMissing, sizeof kMissing - 1);
            (void)written;
            abort();
        }
        memcpy(&real_register, &symbol, sizeof real_register);
    }
    atomic_store_explicit(&g_argument, argument, memory_order_relaxed);
    atomic_store_explicit(&g_callback, callback, memory_order_release);
    real_register(callback == NULL ? NULL : trampoline, NULL);

    char record[kRecordSize];
    const int length = snprintf(record, sizeof record, "R %lld\n", (long long)monotonic_ns());
    write_record(record, length);
}
