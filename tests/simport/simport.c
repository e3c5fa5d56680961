/*
 * Simulated keying ports for black-box tests, preloaded into the real
 * daemon (LD_PRELOAD). It puts a serial port with modem lines and a Linux
 * ppdev parallel port under /dev names that the test chooses, by catching
 * open, close, fstat and ioctl on those names, and realpath, stat and the
 * sysfs readlink that tell what kind of device a name is. Besides the two
 * ports it can put decoys there, devices that must never be opened: any
 * opening of one is logged. Nothing else is touched: any other path or
 * descriptor goes to the C library.
 *
 * Environment (read once, when the library is loaded):
 *   SIMPORT_SERIAL       name of the serial port: "ttyUSB_sim0" (under /dev)
 *                        or a full path "/dev/ttyUSB_sim0"
 *   SIMPORT_PARALLEL     name of the parallel port, the same way
 *   SIMPORT_SERIAL_LINK  name of a link to the serial port, as udev makes
 *                        under /dev/serial/by-id ("serial/by-id/usb-...")
 *   SIMPORT_WATCHDOG     name of a decoy of the watchdog's class (misc)
 *   SIMPORT_CONSOLE      name of a decoy of a virtual console's class (tty,
 *                        no hardware behind it)
 *                        Both decoys answer the serial port's requests, so
 *                        only the look-up of their class keeps them closed.
 *   SIMPORT_CONTROL      control register when the process starts (strtol
 *                        base 0; only bits 0-3 exist), default 0x0c: a fresh
 *                        claim reads PTT on and the key up
 *   SIMPORT_STATUS       status register, default 0x7f
 *   SIMPORT_STATUS_FILE  read at every PPRSTATUS: when the file exists and
 *                        holds a number (strtol base 0), that is the status
 *   SIMPORT_LOG          file the requests are appended to (none: no log)
 *   SIMPORT_OPEN_LOG     file every path given to open or openat is appended
 *                        to, one a line, simulated or not
 *   SIMPORT_FAIL_FILE    while this file exists every ioctl on a simulated
 *                        port fails with EIO, as on an unplugged adapter
 *   SIMPORT_DENY_OPEN=1  opening a simulated port fails with EACCES (logged
 *                        as OPEN with ok=0, fd=-1)
 *   SIMPORT_INPUT_FIFO   a named pipe the test writes the serial port's
 *                        input lines to, one moment a line: words "cts=1",
 *                        "dsr=0", "dcd=1", "ri=0" change those lines at
 *                        once (logged as INPUT with the input bits); "pull"
 *                        takes the adapter away (every request then fails
 *                        with EIO, a wait in progress too) and "plug" puts
 *                        it back
 *   SIMPORT_NO_MIWAIT=1  TIOCMIWAIT fails with ENOTTY, as on a driver
 *                        without it
 *   SIMPORT_HELD_FILE    while this file exists another program holds the
 *                        parallel port: PPCLAIM waits as described below
 *
 * What the kernel does and this imitates:
 *   - serial: opening a closed port raises DTR and RTS; the last close drops
 *     them while HUPCL is set (it is at first). TIOCMGET, TIOCMBIS,
 *     TIOCMBIC, TIOCMSET, and TCGETS/TCSETS for HUPCL alone; anything else
 *     fails with ENOTTY. The input lines CTS, DSR, DCD and RI read as the
 *     test set them, each with a transition counter (TIOCGICOUNT).
 *     TIOCMIWAIT sleeps until a line of its mask changes, with the counts
 *     at the start of the wait as its reference, so a change made just
 *     before the wait does not end it; a signal ends it with EINTR only
 *     when its handler was installed without SA_RESTART (the wait is a
 *     read(2) underneath, which the kernel restarts otherwise), closing the
 *     descriptor does not end it, and a pulled adapter ends it with EIO.
 *     TIOCGSERIAL/TIOCSSERIAL keep the flags (logged as val) and nothing
 *     else.
 *   - parallel: PPCLAIM claims the port for the open file; register requests
 *     fail with EINVAL until then, as does any request the driver does not
 *     know (TIOCMGET included). While another open file (or, by
 *     SIMPORT_HELD_FILE, another program) holds the claim, PPCLAIM waits
 *     as the kernel's does, whatever the open flags: until the port is let
 *     go, or until a signal is caught, which ends it with EINTR even under
 *     SA_RESTART (logged then, as PPCLAIM with ok=0). Closing the claiming
 *     descriptor lets the claim go and leaves the pins as they are.
 *     Only bits 0-3 of the control register exist.
 *   - stat and fstat report a character device: 188:0 (ttyUSB) for the
 *     serial port, 99:0 (ppdev) for the parallel one, 10:130 (misc) for the
 *     watchdog decoy, 4:1 (a virtual console) for the console decoy; their
 *     sysfs entries give the classes tty, ppdev, misc and tty, and only the
 *     serial port has a device behind it.
 * The state lives in this process: after a fork each process has its own
 * copy, so the log's pid field tells whose request it was.
 *
 * Log format: one line per event, fields always in this order:
 *   t=<ns> pid=<pid> port=<serial|parallel|watchdog|console> fd=<fd>
 *   req=<name> val=0x<hex>
 *   ok=<1|0> err=<errno> state=0x<hex> data=0x<hex> status=0x<hex>
 *   claimed=<1|0>
 * t is CLOCK_MONOTONIC in nanoseconds. req is OPEN, CLOSE or the request
 * (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET, TCGETS, TCSETS, TIOCMIWAIT (logged when it
 * ends, WAIT when it begins), TIOCGICOUNT, TIOCGSERIAL, TIOCSSERIAL, PPCLAIM, PPRELEASE,
 * PPRCONTROL, PPWCONTROL, PPWDATA, PPRSTATUS; INPUT for a change the test made; OTHER for the
 * rest). val is the byte or
 * bits written, or the value read; the open flags for OPEN; the request
 * number for OTHER. state, data, status and claimed are the port after the
 * event: state is the modem bits of the serial port or a decoy (TIOCM_DTR
 * 0x002, TIOCM_RTS 0x004) or the control register of the parallel port;
 * data, status and claimed are 0 but for the parallel port.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { NO_PORT = 0, SERIAL_PORT = 1, PARALLEL_PORT = 2, WATCHDOG = 3, CONSOLE = 4, PORT_COUNT = 4 };
enum { PATH_SIZE = 1024, MAX_DESCRIPTORS = 4096, LINE_SIZE = 256, NUMBER_SIZE = 64 };
enum { SERIAL_MAJOR = 188, PPDEV_MAJOR = 99, MISC_MAJOR = 10, WATCHDOG_MINOR = 130, VC_MAJOR = 4 };
enum { CONTROL_BITS = 0x0f, DEFAULT_CONTROL = 0x0c, DEFAULT_STATUS = 0x7f };

struct sim_port {
    int configured;
    char path[PATH_SIZE];
    int open_count;
    int modem;                            /* serial */
    int keep_lines;                       /* serial: HUPCL cleared, the last close keeps them */
    struct serial_icounter_struct counts; /* serial: input transitions */
    int serial_flags;                     /* serial: TIOCSSERIAL's flags */
    unsigned char control;                /* parallel */
    unsigned char data;
    unsigned char status;
    int claim_fd; /* -1: not claimed */
};

/* Device numbers and kernel classes as /sys/dev/char reports them. */
static const struct {
    const char* log_name;
    unsigned major;
    unsigned minor;
    const char* subsystem;
    int has_device;
} g_node_kinds[PORT_COUNT + 1] = {
    {"", 0, 0, "", 0},
    {"serial", SERIAL_MAJOR, 0, "tty", 1},
    {"parallel", PPDEV_MAJOR, 0, "ppdev", 0},
    {"watchdog", MISC_MAJOR, WATCHDOG_MINOR, "misc", 0},
    {"console", VC_MAJOR, 1, "tty", 0},
};

/* All below is guarded by g_lock once set up by setup(). */
/* Recursive: a signal handler that rests a port may interrupt a request
 * on its own thread. */
static pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static struct sim_port g_ports[PORT_COUNT + 1]; /* indexed by kind */
static char g_serial_link[PATH_SIZE];
static unsigned char g_descriptor_port[MAX_DESCRIPTORS];
static int g_log_fd = -1;
static int g_open_log_fd = -1;
static int g_deny_open;
static char g_status_file[PATH_SIZE];
static char g_fail_file[PATH_SIZE];
static char g_input_fifo[PATH_SIZE];
static int g_no_miwait;
static int g_pulled;           /* the adapter has been taken away */
static pid_t g_input_pid = -1; /* the process whose thread reads the fifo */
static int g_wake_fd = -1;     /* eventfd: an input line changed */
static char g_held_file[PATH_SIZE];

static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);
static int (*real_close)(int);
static int (*real_fstat)(int, struct stat*);
static int (*real_fstat64)(int, struct stat64*);
static int (*real_fxstat)(int, int, struct stat*);
static int (*real_fxstat64)(int, int, struct stat64*);
static int (*real_ioctl)(int, unsigned long, ...);
static char* (*real_realpath)(const char*, char*);
static int (*real_stat)(const char*, struct stat*);
static int (*real_stat64)(const char*, struct stat64*);
static int (*real_xstat)(int, const char*, struct stat*);
static int (*real_xstat64)(int, const char*, struct stat64*);
static ssize_t (*real_readlink)(const char*, char*, size_t);

static void copy_path(char* into, const char* name) {
    if (name == NULL || name[0] == '\0') {
        into[0] = '\0';
    } else if (name[0] == '/') {
        snprintf(into, PATH_SIZE, "%s", name);
    } else {
        snprintf(into, PATH_SIZE, "/dev/%s", name);
    }
}

static long env_number(const char* name, long fallback) {
    const char* text = getenv(name);
    return text != NULL && text[0] != '\0' ? strtol(text, NULL, 0) : fallback;
}

static void setup(void) {
    real_open = dlsym(RTLD_NEXT, "open");
    real_open64 = dlsym(RTLD_NEXT, "open64");
    real_openat = dlsym(RTLD_NEXT, "openat");
    real_openat64 = dlsym(RTLD_NEXT, "openat64");
    real_close = dlsym(RTLD_NEXT, "close");
    real_fstat = dlsym(RTLD_NEXT, "fstat");
    real_fstat64 = dlsym(RTLD_NEXT, "fstat64");
    real_fxstat = dlsym(RTLD_NEXT, "__fxstat");
    real_fxstat64 = dlsym(RTLD_NEXT, "__fxstat64");
    real_ioctl = dlsym(RTLD_NEXT, "ioctl");
    real_realpath = dlsym(RTLD_NEXT, "realpath");
    real_stat = dlsym(RTLD_NEXT, "stat");
    real_stat64 = dlsym(RTLD_NEXT, "stat64");
    real_xstat = dlsym(RTLD_NEXT, "__xstat");
    real_xstat64 = dlsym(RTLD_NEXT, "__xstat64");
    real_readlink = dlsym(RTLD_NEXT, "readlink");

    const char* names[PORT_COUNT + 1] = {NULL, getenv("SIMPORT_SERIAL"), getenv("SIMPORT_PARALLEL"),
                                         getenv("SIMPORT_WATCHDOG"), getenv("SIMPORT_CONSOLE")};
    copy_path(g_serial_link, getenv("SIMPORT_SERIAL_LINK"));
    for (int kind = SERIAL_PORT; kind <= PORT_COUNT; ++kind) {
        struct sim_port* port = &g_ports[kind];
        copy_path(port->path, names[kind]);
        port->configured = port->path[0] != '\0';
        port->control =
            (unsigned char)(env_number("SIMPORT_CONTROL", DEFAULT_CONTROL) & CONTROL_BITS);
        port->status = (unsigned char)env_number("SIMPORT_STATUS", DEFAULT_STATUS);
        port->claim_fd = -1;
    }
    const char* deny = getenv("SIMPORT_DENY_OPEN");
    g_deny_open = deny != NULL && strcmp(deny, "1") == 0;
    copy_path(g_status_file, getenv("SIMPORT_STATUS_FILE"));
    copy_path(g_fail_file, getenv("SIMPORT_FAIL_FILE"));
    copy_path(g_input_fifo, getenv("SIMPORT_INPUT_FIFO"));
    const char* no_miwait = getenv("SIMPORT_NO_MIWAIT");
    g_no_miwait = no_miwait != NULL && strcmp(no_miwait, "1") == 0;
    copy_path(g_held_file, getenv("SIMPORT_HELD_FILE"));
    const char* open_log_path = getenv("SIMPORT_OPEN_LOG");
    if (open_log_path != NULL && open_log_path[0] != '\0') {
        g_open_log_fd = real_open(open_log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    const char* log_path = getenv("SIMPORT_LOG");
    if (log_path != NULL && log_path[0] != '\0') {
        g_log_fd = real_open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

static void ensure_setup(void) {
    pthread_once(&g_once, setup);
}

__attribute__((constructor)) static void simport_load(void) {
    ensure_setup();
}

static int port_of_path(const char* path) {
    if (path == NULL) {
        return NO_PORT;
    }
    for (int kind = SERIAL_PORT; kind <= PORT_COUNT; ++kind) {
        if (g_ports[kind].configured && strcmp(g_ports[kind].path, path) == 0) {
            return kind;
        }
    }
    return NO_PORT;
}

static int port_of_descriptor(int fd) {
    return fd >= 0 && fd < MAX_DESCRIPTORS ? g_descriptor_port[fd] : NO_PORT;
}

/* Called with g_lock held. */
static void log_event(int kind, int fd, const char* request, unsigned long value, int ok,
                      int error) {
    if (g_log_fd < 0) {
        return;
    }
    const struct sim_port* port = &g_ports[kind];
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
    const int serial = kind != PARALLEL_PORT;
    char line[LINE_SIZE];
    const int length = snprintf(
        line, sizeof line,
        "t=%lld pid=%ld port=%s fd=%d req=%s val=0x%lx ok=%d err=%d state=0x%03x data=0x%02x "
        "status=0x%02x claimed=%d\n",
        ns, (long)getpid(), g_node_kinds[kind].log_name, fd, request, value, ok, error,
        serial ? (unsigned)port->modem : (unsigned)port->control,
        serial ? 0u : (unsigned)port->data, serial ? 0u : (unsigned)port->status,
        serial ? 0 : port->claim_fd != -1);
    if (length > 0) {
        const ssize_t written = write(g_log_fd, line, (size_t)length);
        (void)written;
    }
}

static int file_exists(const char* path) {
    struct stat status;
    return path[0] != '\0' && stat(path, &status) == 0;
}

/* The status register from the status file, if it holds a number. */
static void refresh_status(struct sim_port* port) {
    if (g_status_file[0] == '\0') {
        return;
    }
    const int fd = real_open(g_status_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    char text[NUMBER_SIZE];
    const ssize_t got = read(fd, text, sizeof text - 1);
    real_close(fd);
    if (got <= 0) {
        return;
    }
    text[got] = '\0';
    char* end = NULL;
    const long value = strtol(text, &end, 0);
    if (end != text) {
        port->status = (unsigned char)value;
    }
}

/* Opens a simulated port: a descriptor of /dev/null stands in for it, so
 * that its number is real and unique. */
static int open_port(int kind, int flags) {
    pthread_mutex_lock(&g_lock);
    if (g_deny_open) {
        log_event(kind, -1, "OPEN", (unsigned long)flags, 0, EACCES);
        pthread_mutex_unlock(&g_lock);
        errno = EACCES;
        return -1;
    }
    const int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= MAX_DESCRIPTORS) {
        real_close(fd);
        pthread_mutex_unlock(&g_lock);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0) {
        struct sim_port* port = &g_ports[kind];
        g_descriptor_port[fd] = (unsigned char)kind;
        if (kind != PARALLEL_PORT && port->open_count == 0) {
            port->modem |= TIOCM_DTR | TIOCM_RTS;
        }
        ++port->open_count;
        log_event(kind, fd, "OPEN", (unsigned long)flags, 1, 0);
    }
    const int saved = errno;
    pthread_mutex_unlock(&g_lock);
    errno = saved;
    return fd;
}

static void log_open(const char* path) {
    if (g_open_log_fd < 0 || path == NULL) {
        return;
    }
    char line[PATH_SIZE + 1];
    const int length = snprintf(line, sizeof line, "%s\n", path);
    if (length > 0) {
        const ssize_t written = write(g_open_log_fd, line, (size_t)length);
        (void)written;
    }
}

static int mode_argument(int flags, va_list args) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
    ensure_setup();
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    log_open(path);
    const int kind = port_of_path(path);
    return kind != NO_PORT ? open_port(kind, flags) : real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    ensure_setup();
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    log_open(path);
    const int kind = port_of_path(path);
    return kind != NO_PORT ? open_port(kind, flags) : real_open64(path, flags, mode);
}

/* The fortified forms that open(path, flags) may compile to. */
int __open_2(const char* path, int flags);
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags);
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}

int openat(int dirfd, const char* path, int flags, ...) {
    ensure_setup();
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    log_open(path);
    const int kind = port_of_path(path);
    return kind != NO_PORT ? open_port(kind, flags) : real_openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    ensure_setup();
    va_list args;
    va_start(args, flags);
    const int mode = mode_argument(flags, args);
    va_end(args);
    log_open(path);
    const int kind = port_of_path(path);
    return kind != NO_PORT ? open_port(kind, flags) : real_openat64(dirfd, path, flags, mode);
}

int close(int fd) {
    ensure_setup();
    pthread_mutex_lock(&g_lock);
    const int kind = port_of_descriptor(fd);
    if (kind != NO_PORT) {
        struct sim_port* port = &g_ports[kind];
        g_descriptor_port[fd] = NO_PORT;
        --port->open_count;
        if (port->claim_fd == fd) {
            port->claim_fd = -1;
        }
        if (kind != PARALLEL_PORT && port->open_count == 0 && !port->keep_lines) {
            port->modem &= ~(TIOCM_DTR | TIOCM_RTS);
        }
        log_event(kind, fd, "CLOSE", 0, 1, 0);
    }
    const int result = real_close(fd);
    const int saved = errno;
    pthread_mutex_unlock(&g_lock);
    errno = saved;
    return result;
}

static void fill_status(int kind, struct stat* status) {
    memset(status, 0, sizeof *status);
    status->st_mode = S_IFCHR | 0660;
    status->st_nlink = 1;
    status->st_rdev = makedev(g_node_kinds[kind].major, g_node_kinds[kind].minor);
    status->st_blksize = 4096;
}

static void fill_status64(int kind, struct stat64* status) {
    memset(status, 0, sizeof *status);
    status->st_mode = S_IFCHR | 0660;
    status->st_nlink = 1;
    status->st_rdev = makedev(g_node_kinds[kind].major, g_node_kinds[kind].minor);
    status->st_blksize = 4096;
}

static int simulated(int fd) {
    pthread_mutex_lock(&g_lock);
    const int kind = port_of_descriptor(fd);
    pthread_mutex_unlock(&g_lock);
    return kind;
}

int fstat(int fd, struct stat* status) {
    ensure_setup();
    const int kind = simulated(fd);
    if (kind == NO_PORT) {
        return real_fstat(fd, status);
    }
    fill_status(kind, status);
    return 0;
}

int fstat64(int fd, struct stat64* status) {
    ensure_setup();
    const int kind = simulated(fd);
    if (kind == NO_PORT) {
        return real_fstat64(fd, status);
    }
    fill_status64(kind, status);
    return 0;
}

/* Older C libraries route fstat through these. */
int __fxstat(int version, int fd, struct stat* status);
int __fxstat(int version, int fd, struct stat* status) {
    ensure_setup();
    const int kind = simulated(fd);
    if (kind != NO_PORT) {
        fill_status(kind, status);
        return 0;
    }
    if (real_fxstat == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real_fxstat(version, fd, status);
}

int __fxstat64(int version, int fd, struct stat64* status);
int __fxstat64(int version, int fd, struct stat64* status) {
    ensure_setup();
    const int kind = simulated(fd);
    if (kind != NO_PORT) {
        fill_status64(kind, status);
        return 0;
    }
    if (real_fxstat64 == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real_fxstat64(version, fd, status);
}

enum { INPUT_BITS = TIOCM_CTS | TIOCM_CAR | TIOCM_RNG | TIOCM_DSR };

/* Called with g_lock held: sets or clears one input line, counting the
 * transition. */
static void change_input(struct sim_port* port, int line, int asserted) {
    if (((port->modem & line) != 0) == asserted) {
        return;
    }
    port->modem = asserted ? port->modem | line : port->modem & ~line;
    if (line == TIOCM_CTS) {
        ++port->counts.cts;
    } else if (line == TIOCM_DSR) {
        ++port->counts.dsr;
    } else if (line == TIOCM_CAR) {
        ++port->counts.dcd;
    } else {
        ++port->counts.rng;
    }
}

static void wake_waiters(void) {
    const uint64_t one = 1;
    const ssize_t written = write(g_wake_fd, &one, sizeof one);
    (void)written;
}

/* One line of the fifo: the changes it names happen at one moment. */
static void apply_input_line(char* line) {
    static const struct {
        const char* name;
        int bit;
    } lines[] = {{"cts=", TIOCM_CTS}, {"dsr=", TIOCM_DSR}, {"dcd=", TIOCM_CAR}, {"ri=", TIOCM_RNG}};
    pthread_mutex_lock(&g_lock);
    struct sim_port* port = &g_ports[SERIAL_PORT];
    char* save = NULL;
    for (char* word = strtok_r(line, " \t\r\n", &save); word != NULL;
         word = strtok_r(NULL, " \t\r\n", &save)) {
        if (strcmp(word, "pull") == 0) {
            g_pulled = 1;
        } else if (strcmp(word, "plug") == 0) {
            g_pulled = 0;
        }
        for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
            const size_t length = strlen(lines[i].name);
            if (strncmp(word, lines[i].name, length) == 0) {
                change_input(port, lines[i].bit, word[length] == '1');
            }
        }
    }
    log_event(SERIAL_PORT, -1, "INPUT", (unsigned long)(port->modem & INPUT_BITS), !g_pulled,
              g_pulled ? EIO : 0);
    pthread_mutex_unlock(&g_lock);
    wake_waiters();
}

static void* read_inputs(void* unused) {
    (void)unused;
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, NULL);
    /* Read and write, so that the pipe never reads as ended when the test
     * closes its end between two lines. */
    const int fd = real_open(g_input_fifo, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return NULL;
    }
    char text[LINE_SIZE];
    size_t held = 0;
    for (;;) {
        const ssize_t got = read(fd, text + held, sizeof text - 1 - held);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return NULL;
        }
        held += (size_t)got;
        text[held] = '\0';
        char* end;
        while ((end = strchr(text, '\n')) != NULL) {
            *end = '\0';
            apply_input_line(text);
            held -= (size_t)(end + 1 - text);
            memmove(text, end + 1, held + 1);
        }
        if (held == sizeof text - 1) {
            held = 0; /* a line too long: dropped */
        }
    }
}

/* The fifo's reader runs in the process that uses the port: a daemon that
 * detaches leaves the thread behind in its parent. Called with g_lock held. */
static void start_input_reader(void) {
    if (g_input_pid == getpid()) {
        return;
    }
    g_input_pid = getpid();
    if (g_wake_fd >= 0) {
        real_close(g_wake_fd);
    }
    g_wake_fd = eventfd(0, EFD_CLOEXEC);
    if (g_input_fifo[0] == '\0') {
        return;
    }
    pthread_t thread;
    if (pthread_create(&thread, NULL, read_inputs, NULL) == 0) {
        pthread_detach(thread);
    }
}

static int counts_differ(const struct serial_icounter_struct* a,
                         const struct serial_icounter_struct* b, int mask) {
    return ((mask & TIOCM_CTS) != 0 && a->cts != b->cts) ||
           ((mask & TIOCM_DSR) != 0 && a->dsr != b->dsr) ||
           ((mask & TIOCM_CAR) != 0 && a->dcd != b->dcd) ||
           ((mask & TIOCM_RNG) != 0 && a->rng != b->rng);
}

/* TIOCMIWAIT, entered with g_lock held and left with it held. The counts
 * now are the reference; the lock is let go while the wait sleeps. */
static int wait_for_inputs(struct sim_port* port, int mask) {
    const struct serial_icounter_struct reference = port->counts;
    log_event(SERIAL_PORT, -1, "WAIT", (unsigned long)mask, 1, 0);
    for (;;) {
        if (g_pulled) {
            return EIO;
        }
        if (counts_differ(&reference, &port->counts, mask)) {
            return 0;
        }
        const int wake_fd = g_wake_fd;
        pthread_mutex_unlock(&g_lock);
        uint64_t ignored;
        const ssize_t got = read(wake_fd, &ignored, sizeof ignored);
        const int saved = errno;
        pthread_mutex_lock(&g_lock);
        if (got < 0 && saved == EINTR) {
            return EINTR;
        }
        /* Another waiter may have taken the wake-up: look again. */
    }
}

static const char* serial_request(struct sim_port* port, unsigned long request, void* argument,
                                  unsigned long* value, int* error) {
    int* bits = argument;
    start_input_reader();
    switch (request) {
        case TIOCMIWAIT:
            *value = (unsigned long)argument;
            if (g_no_miwait) {
                *error = ENOTTY;
            } else {
                *error = wait_for_inputs(port, (int)(unsigned long)argument);
            }
            return "TIOCMIWAIT";
        case TIOCGICOUNT: {
            struct serial_icounter_struct* counts = argument;
            *counts = port->counts;
            *value = (unsigned long)(port->modem & INPUT_BITS);
            return "TIOCGICOUNT";
        }
        case TIOCGSERIAL: {
            struct serial_struct* info = argument;
            memset(info, 0, sizeof *info);
            info->type = PORT_16550A;
            info->flags = port->serial_flags;
            *value = (unsigned long)port->serial_flags;
            return "TIOCGSERIAL";
        }
        case TIOCSSERIAL: {
            const struct serial_struct* info = argument;
            port->serial_flags = info->flags;
            *value = (unsigned long)info->flags;
            return "TIOCSSERIAL";
        }
        case TIOCMGET:
            *bits = port->modem;
            *value = (unsigned long)port->modem;
            return "TIOCMGET";
        case TIOCMBIS:
            port->modem |= *bits & ~INPUT_BITS;
            *value = (unsigned long)*bits;
            return "TIOCMBIS";
        case TIOCMBIC:
            port->modem &= ~(*bits & ~INPUT_BITS);
            *value = (unsigned long)*bits;
            return "TIOCMBIC";
        case TIOCMSET:
            port->modem = (*bits & ~INPUT_BITS) | (port->modem & INPUT_BITS);
            *value = (unsigned long)*bits;
            return "TIOCMSET";
        case TCGETS: {
            struct termios* settings = argument;
            memset(settings, 0, sizeof *settings);
            settings->c_cflag = (tcflag_t)(B9600 | CS8 | CREAD | (port->keep_lines ? 0 : HUPCL));
            *value = settings->c_cflag;
            return "TCGETS";
        }
        case TCSETS: {
            const struct termios* settings = argument;
            port->keep_lines = (settings->c_cflag & HUPCL) == 0;
            *value = settings->c_cflag;
            return "TCSETS";
        }
        default:
            *value = request;
            *error = ENOTTY;
            return "OTHER";
    }
}

static const char* parallel_request(struct sim_port* port, int fd, unsigned long request,
                                    void* argument, unsigned long* value, int* error) {
    unsigned char* byte = argument;
    const int claimed_here = port->claim_fd == fd;
    switch (request) {
        case PPCLAIM:
            if (claimed_here) {
                *error = EINVAL;
            } else {
                port->claim_fd = fd; /* the caller has waited for it to be free */
            }
            return "PPCLAIM";
        case PPRELEASE:
            if (!claimed_here) {
                *error = EINVAL;
            } else {
                port->claim_fd = -1;
            }
            return "PPRELEASE";
        case PPRCONTROL:
            if (!claimed_here) {
                *error = EINVAL;
            } else {
                *byte = port->control;
                *value = port->control;
            }
            return "PPRCONTROL";
        case PPWCONTROL:
            *value = *byte;
            if (!claimed_here) {
                *error = EINVAL;
            } else {
                port->control = *byte & CONTROL_BITS;
            }
            return "PPWCONTROL";
        case PPWDATA:
            *value = *byte;
            if (!claimed_here) {
                *error = EINVAL;
            } else {
                port->data = *byte;
            }
            return "PPWDATA";
        case PPRSTATUS:
            if (!claimed_here) {
                *error = EINVAL;
            } else {
                refresh_status(port);
                *byte = port->status;
                *value = port->status;
            }
            return "PPRSTATUS";
        default:
            *value = request;
            *error = EINVAL;
            return "OTHER";
    }
}

static const char* request_name(unsigned long request) {
    switch (request) {
        case TIOCMGET:
            return "TIOCMGET";
        case TIOCMBIS:
            return "TIOCMBIS";
        case TIOCMBIC:
            return "TIOCMBIC";
        case TIOCMSET:
            return "TIOCMSET";
        case TCGETS:
            return "TCGETS";
        case TCSETS:
            return "TCSETS";
        case TIOCMIWAIT:
            return "TIOCMIWAIT";
        case TIOCGICOUNT:
            return "TIOCGICOUNT";
        case TIOCGSERIAL:
            return "TIOCGSERIAL";
        case TIOCSSERIAL:
            return "TIOCSSERIAL";
        case PPCLAIM:
            return "PPCLAIM";
        case PPRELEASE:
            return "PPRELEASE";
        case PPRCONTROL:
            return "PPRCONTROL";
        case PPWCONTROL:
            return "PPWCONTROL";
        case PPWDATA:
            return "PPWDATA";
        case PPRSTATUS:
            return "PPRSTATUS";
        default:
            return "OTHER";
    }
}

/* Called with g_lock held, which it lets go while it waits. False when a
 * signal was caught first. */
static int wait_for_claim(struct sim_port* port, int fd) {
    enum { POLL_NANOSECONDS = 2000000 };
    while ((port->claim_fd != -1 && port->claim_fd != fd) || file_exists(g_held_file)) {
        pthread_mutex_unlock(&g_lock);
        /* Never restarted after a handler, as the kernel's wait. */
        const struct timespec pause = {0, POLL_NANOSECONDS};
        const int interrupted = nanosleep(&pause, NULL) == -1 && errno == EINTR;
        pthread_mutex_lock(&g_lock);
        if (interrupted) {
            return 0;
        }
    }
    return 1;
}

int ioctl(int fd, unsigned long request, ...) {
    ensure_setup();
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);

    pthread_mutex_lock(&g_lock);
    const int kind = port_of_descriptor(fd);
    if (kind == NO_PORT) {
        pthread_mutex_unlock(&g_lock);
        return real_ioctl(fd, request, argument);
    }
    struct sim_port* port = &g_ports[kind];
    unsigned long value = 0;
    int error = 0;
    const char* name;
    if (kind == PARALLEL_PORT && request == PPCLAIM && !file_exists(g_fail_file) &&
        !wait_for_claim(port, fd)) {
        log_event(kind, fd, "PPCLAIM", 0, 0, EINTR);
        pthread_mutex_unlock(&g_lock);
        errno = EINTR;
        return -1;
    }
    if (file_exists(g_fail_file) || (kind == SERIAL_PORT && g_pulled)) {
        name = request_name(request);
        error = EIO;
    } else if (kind != PARALLEL_PORT) {
        name = serial_request(port, request, argument, &value, &error);
    } else {
        name = parallel_request(port, fd, request, argument, &value, &error);
    }
    log_event(kind, fd, name, value, error == 0, error);
    pthread_mutex_unlock(&g_lock);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

/* The node a path names: a simulated port, decoy, or the link to the
 * serial port. */
static int node_of_path(const char* path) {
    if (path != NULL && g_serial_link[0] != '\0' && g_ports[SERIAL_PORT].configured &&
        strcmp(path, g_serial_link) == 0) {
        return SERIAL_PORT;
    }
    return port_of_path(path);
}

char* realpath(const char* path, char* resolved) {
    ensure_setup();
    const int kind = node_of_path(path);
    if (kind == NO_PORT) {
        return real_realpath(path, resolved);
    }
    if (resolved == NULL) {
        resolved = malloc(PATH_SIZE);
        if (resolved == NULL) {
            return NULL;
        }
    }
    snprintf(resolved, PATH_SIZE, "%s", g_ports[kind].path);
    return resolved;
}

char* __realpath_chk(const char* path, char* resolved, size_t size);
char* __realpath_chk(const char* path, char* resolved, size_t size) {
    (void)size;
    return realpath(path, resolved);
}

int stat(const char* path, struct stat* status) {
    ensure_setup();
    const int kind = port_of_path(path);
    if (kind == NO_PORT) {
        return real_stat(path, status);
    }
    fill_status(kind, status);
    return 0;
}

int stat64(const char* path, struct stat64* status) {
    ensure_setup();
    const int kind = port_of_path(path);
    if (kind == NO_PORT) {
        return real_stat64(path, status);
    }
    fill_status64(kind, status);
    return 0;
}

int __xstat(int version, const char* path, struct stat* status);
int __xstat(int version, const char* path, struct stat* status) {
    ensure_setup();
    const int kind = port_of_path(path);
    if (kind != NO_PORT) {
        fill_status(kind, status);
        return 0;
    }
    if (real_xstat == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real_xstat(version, path, status);
}

int __xstat64(int version, const char* path, struct stat64* status);
int __xstat64(int version, const char* path, struct stat64* status) {
    ensure_setup();
    const int kind = port_of_path(path);
    if (kind != NO_PORT) {
        fill_status64(kind, status);
        return 0;
    }
    if (real_xstat64 == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real_xstat64(version, path, status);
}

/* /sys/dev/char/MAJOR:MINOR/subsystem and .../device of the simulated
 * nodes: the class, and whether hardware stands behind the node. */
ssize_t readlink(const char* path, char* target, size_t size) {
    ensure_setup();
    for (int kind = SERIAL_PORT; kind <= PORT_COUNT; ++kind) {
        if (!g_ports[kind].configured) {
            continue;
        }
        char entry[PATH_SIZE];
        const int length = snprintf(entry, sizeof entry, "/sys/dev/char/%u:%u/",
                                    g_node_kinds[kind].major, g_node_kinds[kind].minor);
        if (length <= 0 || strncmp(path, entry, (size_t)length) != 0) {
            continue;
        }
        char link[PATH_SIZE];
        if (strcmp(path + length, "subsystem") == 0) {
            snprintf(link, sizeof link, "../../../../class/%s", g_node_kinds[kind].subsystem);
        } else if (strcmp(path + length, "device") == 0 && g_node_kinds[kind].has_device) {
            snprintf(link, sizeof link, "../../../simport");
        } else {
            errno = ENOENT;
            return -1;
        }
        const size_t link_length = strlen(link) < size ? strlen(link) : size;
        memcpy(target, link, link_length);
        return (ssize_t)link_length;
    }
    return real_readlink(path, target, size);
}

ssize_t __readlink_chk(const char* path, char* target, size_t size, size_t room);
ssize_t __readlink_chk(const char* path, char* target, size_t size, size_t room) {
    (void)room;
    return readlink(path, target, size);
}
