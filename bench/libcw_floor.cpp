// The least a program can do to key a serial port from UDP text through
// libcw: the floor against which the daemon is measured. It binds a UDP port
// on 127.0.0.1, hands every character of every datagram to libcw, and its
// keying callback sets or clears DTR on the port. Same generator and Morse
// parameters as the daemon's defaults; no PTT, no log, no locks. The one
// request it knows is the reset (ESC 0): the generator is deleted and made
// anew, as the daemon does, so that what libcw does after a new generator
// is measured on both. Other requests are ignored. Ends on SIGINT or SIGTERM.
//
//   libcw_floor PORT DEVICE WPM [n|p]   (DEVICE is a name under /dev; sound
//                                        system null, the default, or
//                                        PulseAudio)
#include <arpa/inet.h>
#include <fcntl.h>
#include <libcw.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kTone = 800;             // Hz, the daemon's default
constexpr int kVolume = 70;            // percent, the daemon's default
constexpr int kLibraryWeighting = 50;  // the daemon's default weighting 0
constexpr size_t kReceiveSize = 256;
constexpr char kEscape = 27;
constexpr char kResetCode = '0';

std::atomic<bool> g_stop{false};
int g_port_fd = -1;  // written before libcw's thread starts keying

void on_signal(int) {
    g_stop.store(true);
}

void keying_callback(void*, int key_state) {
    int dtr = TIOCM_DTR;
    if (ioctl(g_port_fd, key_state == 1 ? TIOCMBIS : TIOCMBIC, &dtr) == -1) {
        // Async-signal-safe enough for a benchmark: report and end.
        static const char kFailed[] = "libcw_floor: keying ioctl failed\n";
        ssize_t written = write(STDERR_FILENO, kFailed, sizeof kFailed - 1);
        (void)written;
        _exit(1);
    }
}

bool parse_int(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool open_port(const char* name) {
    const std::string path = std::string("/dev/") + name;
    g_port_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (g_port_fd == -1) {
        fprintf(stderr, "libcw_floor: open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    int lines = TIOCM_DTR;
    ioctl(g_port_fd, TIOCMBIC, &lines);
    lines = TIOCM_RTS;
    ioctl(g_port_fd, TIOCMBIC, &lines);
    return true;
}

int open_socket(int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1) {
        perror("libcw_floor: socket");
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        perror("libcw_floor: bind");
        close(fd);
        return -1;
    }
    return fd;
}

bool start_generator(int sound_system, int wpm) {
    if (cw_generator_new(sound_system, nullptr) != CW_SUCCESS) {
        fprintf(stderr, "libcw_floor: cannot create the generator\n");
        return false;
    }
    if (cw_generator_start() != CW_SUCCESS) {
        fprintf(stderr, "libcw_floor: cannot start the generator\n");
        return false;
    }
    cw_set_frequency(kTone);
    cw_set_send_speed(wpm);
    cw_set_volume(kVolume);
    cw_set_gap(0);
    cw_set_weighting(kLibraryWeighting);
    cw_register_keying_callback(keying_callback, nullptr);
    return true;
}

void stop_generator() {
    cw_generator_stop();
    cw_generator_delete();
}

bool parse_sound_system(const char* text, int& sound_system) {
    if (strcmp(text, "n") == 0) {
        sound_system = CW_AUDIO_NULL;
    } else if (strcmp(text, "p") == 0) {
        sound_system = CW_AUDIO_PA;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    int wpm = 0;
    int sound_system = CW_AUDIO_NULL;
    if ((argc != 4 && argc != 5) || !parse_int(argv[1], 1, 65535, port) ||
        !parse_int(argv[3], CW_SPEED_MIN, CW_SPEED_MAX, wpm) ||
        (argc == 5 && !parse_sound_system(argv[4], sound_system))) {
        fprintf(stderr, "usage: libcw_floor PORT DEVICE WPM [n|p]\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: recv returns EINTR
    sigaction(SIGTERM, &action, nullptr);

    // The daemon's order: device, socket, generator, keying callback.
    if (!open_port(argv[2])) {
        return 1;
    }
    const int socket_fd = open_socket(port);
    if (socket_fd == -1 || !start_generator(sound_system, wpm)) {
        return 1;
    }

    char datagram[kReceiveSize + 1];
    while (!g_stop.load()) {
        const ssize_t length = recv(socket_fd, datagram, kReceiveSize, 0);
        if (length <= 0) {
            continue;  // EINTR from the stop signal, or an empty datagram
        }
        if (datagram[0] == kEscape) {
            if (length >= 2 && datagram[1] == kResetCode) {
                stop_generator();
                if (!start_generator(sound_system, wpm)) {
                    return 1;
                }
            }
            continue;
        }
        for (ssize_t i = 0; i < length; ++i) {
            cw_send_character(datagram[i]);
        }
    }

    stop_generator();
    keying_callback(nullptr, 0);
    close(socket_fd);
    close(g_port_fd);
    return 0;
}
