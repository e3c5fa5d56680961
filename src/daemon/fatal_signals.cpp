#include "daemon/fatal_signals.h"

#include <signal.h>

#include <cerrno>
#include <iterator>

#include "core/alternate_signal_stack.h"
#include "devices/signal_rest.h"

namespace varkel {

namespace {

constexpr int kFatalSignals[] = {
    SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGABRT, SIGSYS,  SIGQUIT, SIGXCPU,
    SIGXFSZ, SIGPIPE, SIGUSR1, SIGUSR2, SIGINT,  SIGTERM, SIGHUP,
};

// Each signal's action before ours: written before any other thread
// exists, read by the handler to die as the process would have.
struct sigaction g_previous[NSIG];

// A fault the kernel raised at an instruction happens again when the
// handler returns, now with the previous action: the core file shows the
// real fault.
bool refaults_on_return(int sig, const siginfo_t* info) {
    return info != nullptr && info->si_code > 0 &&
           (sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL);
}

// Only async-signal-safe calls: the port's requests, clock_gettime and
// nanosleep (signal_rest.cpp), sigaction, raise.
extern "C" void on_fatal_signal(int sig, siginfo_t* info, void*) {
    const int saved_errno = errno;
    rest_device_from_signal();
    sigaction(sig, &g_previous[sig], nullptr);
    if (!refaults_on_return(sig, info)) {
        // Blocked while this handler runs: taken, with the previous action,
        // the moment it returns.
        raise(sig);
    }
    errno = saved_errno;
}

}  // namespace

void install_fatal_signal_handlers() {
    use_alternate_signal_stack();
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (const int sig : kFatalSignals) {
        struct sigaction previous {};
        if (sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;
        }
        g_previous[sig] = previous;
        sigaction(sig, &action, nullptr);
    }
}

}  // namespace varkel
