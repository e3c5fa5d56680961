#include "core/alternate_signal_stack.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace varkel {

namespace {

// Room for the handler and the C library's own needs when the thread's
// stack is exhausted.
constexpr size_t kAltStackSize = 64 * 1024;
// The main thread, libcw's key-line thread (two while a generator is being
// replaced), the sidetone's cut and stop threads, and spare.
constexpr size_t kAltStacks = 8;

struct AltStack {
    std::atomic<bool> taken{false};
    alignas(16) char memory[kAltStackSize];
};

AltStack g_stacks[kAltStacks];

thread_local bool t_stack_checked = false;

pthread_key_t g_release_key;
pthread_once_t g_release_key_once = PTHREAD_ONCE_INIT;

// At thread exit: the stack goes back to the pool, no longer in use.
extern "C" void give_back_stack(void* value) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    static_cast<AltStack*>(value)->taken.store(false);
}

void make_release_key() {
    pthread_key_create(&g_release_key, give_back_stack);
}

AltStack* take_stack() {
    for (AltStack& stack : g_stacks) {
        bool expected = false;
        if (stack.taken.compare_exchange_strong(expected, true)) {
            return &stack;
        }
    }
    return nullptr;
}

}  // namespace

void use_alternate_signal_stack() noexcept {
    if (t_stack_checked) {
        return;
    }
    t_stack_checked = true;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
        return;  // one is in place already (a sanitizer's)
    }
    AltStack* stack = take_stack();
    if (stack == nullptr) {
        return;
    }
    stack_t alternate{};
    alternate.ss_sp = stack->memory;
    alternate.ss_size = sizeof stack->memory;
    alternate.ss_flags = 0;
    if (sigaltstack(&alternate, nullptr) != 0) {
        stack->taken.store(false);
        return;
    }
    pthread_once(&g_release_key_once, make_release_key);
    pthread_setspecific(g_release_key, stack);
}

}  // namespace varkel
