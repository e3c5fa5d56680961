#include "daemon/startup.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/logging.h"
#include "core/main_wake.h"
#include "core/process_exit.h"
#include "core/realtime_scheduling.h"
#include "core/settings.h"
#include "daemon/command_line.h"
#include "daemon/fatal_signals.h"
#include "daemon/main_loop.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/generator.h"
#include "morse/key_line_clock.h"
#include "morse/libcw_api.h"
#include "morse/paddle.h"
#include "morse/ptt_hold.h"
#include "net/udp_endpoint.h"

namespace varkel {

namespace {

void free_descriptions_handler() {
    free_descriptions();
}
void release_current_device_handler() {
    release_current_device();
}
void close_socket_handler() {
    close_endpoint_at_exit();
}
void stop_generator_handler() {
    // Stopping the generator takes about a second, and the tone it plays
    // meanwhile must not hold the transmitter keyed. A PTT tail or hang
    // lets PTT fall a little later, while the generator stops.
    end_keying_for_exit(ptt_hold_begin_exit());
    destroy_generator();
    ptt_hold_finish_exit();
}

// Before the generator stops: the paddle's thread queues tones in it.
void stop_paddle_handler() {
    paddle_stop();
}

void register_handler(void (*handler)()) {
    // atexit only fails when out of memory at start-up; nothing sensible
    // can run without the handlers.
    if (atexit(handler) != 0) {
        fprintf(stdout, "%s: atexit failed\n", kProgramName);
        fflush(stdout);
        _exit(1);
    }
}

[[noreturn]] void detach_failed(const char* step) {
    syslog(LOG_ERR, "%s\n", step);
    exit_process(1);
    _exit(1);
}

void detach() {
    const pid_t pid = fork();
    if (pid == -1) {
        fprintf(stdout, "%s: Fork failed: \"%s\"\n", kProgramName, strerror(errno));
        fflush(stdout);
        exit_process(1);
    }
    if (pid != 0) {
        // The child goes on with the same open port (and its claim).
        forget_current_device_in_parent();
        exit_process(0);
    }
    // The parent ran its handlers on exit; this is a fresh process now.
    note_main_thread();
    openlog(kSyslogIdentity, LOG_PID, LOG_DAEMON);
    if (setsid() == -1) {
        detach_failed("setsid");
    }
    if (chdir("/") == -1) {
        detach_failed("chdir");
    }
    umask(0);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd == -1) {
        detach_failed("open /dev/null");
    }
    if (dup2(null_fd, STDIN_FILENO) == -1) {
        detach_failed("dup2 stdin");
    }
    if (dup2(null_fd, STDOUT_FILENO) == -1) {
        detach_failed("dup2 stdout");
    }
    if (dup2(null_fd, STDERR_FILENO) == -1) {
        detach_failed("dup2 stderr");
    }
    if (null_fd >= 3) {
        close(null_fd);
    }
}

}  // namespace

void settle_debug_output() {
    const auto& path = settings.debug_file_path;
    if (!path) {
        if (settings.nofork) {
            fprintf(stderr, "debug output: stdout\n");
            set_debug_output(stdout);
        } else {
            set_debug_output(nullptr);
        }
        return;
    }
    if (*path == "stdout" || *path == "stderr") {
        if (!settings.nofork) {
            fprintf(stdout, "%s:EE: specified debug output to \"%s\" when forking\n", kProgramName,
                    path->c_str());
            fflush(stdout);
            exit_process(1);
        }
        fprintf(stderr, "debug output: %s\n", path->c_str());
        set_debug_output(*path == "stdout" ? stdout : stderr);
        return;
    }
    fprintf(stderr, "debug output: %s\n", path->c_str());
    FILE* file = fopen(path->c_str(), "w+e");  // e: close-on-exec
    if (file == nullptr) {
        fprintf(stderr, "%s: failed to open output debug file \"%s\"\n", kProgramName,
                path->c_str());
        exit_process(1);
    }
    set_debug_output(file);
}

void close_debug_file() {
    // libcw's thread has ended with the generator (handler E ran before):
    // whatever it handed over is written now, also to standard output.
    write_handed_over_log_lines();
    FILE* out = debug_output();
    if (out != nullptr && out != stdout && out != stderr) {
        set_debug_output(nullptr);
        fclose(out);
    }
}

void run_daemon(int argc, char** argv) {
    note_main_thread();
    // From here on no signal ends the process with the transmitter keyed.
    install_fatal_signal_handlers();
    // Every resource gets its clean-up handler as it comes into being, so
    // each way out releases what exists, newest first.
    set_debug_output(stdout);
    register_handler(free_descriptions_handler);
    set_default_descriptions();
    register_handler(release_current_device_handler);
    current_device.store(&null_device);  // a device is current from here on
    read_command_line(argc, argv);
    register_handler(close_debug_file);
    settle_debug_output();
    if (settings.nofork) {
        fprintf(stdout, "Press ^C to quit\n");
        fflush(stdout);
    } else {
        detach();
    }
    install_exit_signal_handlers(settings.nofork);
    // Before any thread that hands log lines over to this one exists.
    if (!open_main_wake()) {
        error_report("Eventfd");
        exit_process(1);
    }
    register_handler(close_socket_handler);
    if (!open_endpoint()) {
        exit_process(1);
    }
    if (settings.priority != 0) {
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(getpid()), settings.priority) == -1) {
            error_report("Setting process priority: \"%s\"", strerror(errno));
            exit_process(1);
        }
    }
    // Before the generator exists: libcw's thread that keys the line takes
    // its scheduling from this one.
    enter_realtime_scheduling();
    register_handler(stop_generator_handler);
    start_ptt_hold();
    // The command-line values come into force, and a daemon that cannot
    // make a sound on its default system does not run.
    reset_to_defaults();
    report_realtime_scheduling();
    reset_generator();
    if (!generator_ready.load()) {
        exit_process(1);
    }
    if (!key_line_clock_installed()) {
        debug_log(WW,
                  "libcw keeps its own tone clock: an abort lifts the key at once but waits "
                  "for the element in progress");
    }
    if (settings.libcw_debug_flags != 0) {
        set_libcw_debug_flags(settings.libcw_debug_flags);
    }
    cw_register_keying_callback(keying_callback, nullptr);
    empty_message_buffer();
    register_handler(stop_paddle_handler);
    paddle_start();
    run_main_loop();
}

}  // namespace varkel
