/* Preloaded into a program that drives libcw (the daemon or the floor
 * program) to timestamp the moment libcw calls the keying callback.
 *
 * cw_gen_register_value_tracking_callback_internal is wrapped: every
 * registration of a keying callback goes through it, the legacy
 * cw_register_keying_callback included (libcw calls it through its PLT),
 * so a program keying through either API is seen. libcw gets a trampoline
 * instead of the program's callback. The trampoline reads CLOCK_MONOTONIC
 * first, then calls the program's callback, and only then writes its
 * record, so the writing never counts against the program. The simulated
 * port records the time of the ioctl that mirrors the edge; the difference
 * is what the program adds per edge.
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
typedef void (*RegisterCallback)(void*, KeyingCallback, void*);

enum { kRecordSize = 64, kSlots = 64 };

/* One slot per generator that was given a callback: libcw passes the slot
 * to the trampoline as its argument. A slot's callback and argument are
 * written by the program's thread that registers and read by libcw's
 * thread; they are published together by the release store of the
 * callback, which is stored last. */
struct Slot {
    _Atomic(void*) generator;
    _Atomic(KeyingCallback) callback;
    _Atomic(void*) argument;
};
static struct Slot g_slots[kSlots];
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

static void fail(const char* message, size_t length) {
    ssize_t written = write(STDERR_FILENO, message, length);
    (void)written;
    abort();
}

static void trampoline(void* argument, int key_state) {
    const int64_t called_ns = monotonic_ns();
    struct Slot* slot = argument;
    const KeyingCallback callback = atomic_load_explicit(&slot->callback, memory_order_acquire);
    if (callback != NULL) {
        callback(atomic_load_explicit(&slot->argument, memory_order_relaxed), key_state);
    }
    char record[kRecordSize];
    const int length =
        snprintf(record, sizeof record, "K %lld %d\n", (long long)called_ns, key_state);
    write_record(record, length);
}

/* The generator's slot, or the next one in turn: a slot given out that
 * many registrations ago belongs to a generator long deleted (a reset
 * makes a new one). Generators are registered from the program's main
 * thread. */
static struct Slot* slot_of(void* generator) {
    static int next = 0;
    for (int i = 0; i < kSlots; ++i) {
        if (atomic_load(&g_slots[i].generator) == generator) {
            return &g_slots[i];
        }
    }
    struct Slot* slot = &g_slots[next];
    next = (next + 1) % kSlots;
    atomic_store(&slot->generator, generator);
    return slot;
}

void cw_gen_register_value_tracking_callback_internal(void* generator, KeyingCallback callback,
                                                      void* argument) {
    static RegisterCallback real_register = NULL;
    if (real_register == NULL) {
        /* memcpy: ISO C has no cast from an object pointer to a function
         * pointer, while POSIX guarantees dlsym's result converts. */
        void* symbol = dlsym(RTLD_NEXT, "cw_gen_register_value_tracking_callback_internal");
        if (symbol == NULL) {
            static const char kMissing[] = "keying_probe: libcw is not loaded\n";
            fail(kMissing, sizeof kMissing - 1);
        }
        memcpy(&real_register, &symbol, sizeof real_register);
    }
    struct Slot* slot = slot_of(generator);
    atomic_store_explicit(&slot->argument, argument, memory_order_relaxed);
    atomic_store_explicit(&slot->callback, callback, memory_order_release);
    if (callback == NULL) {
        real_register(generator, NULL, NULL);
    } else {
        real_register(generator, trampoline, slot);
    }

    char record[kRecordSize];
    const int length = snprintf(record, sizeof record, "R %lld\n", (long long)monotonic_ns());
    write_record(record, length);
}
