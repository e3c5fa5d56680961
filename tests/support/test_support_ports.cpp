#include "support/test_support_ports.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/logging.h"
#include "core/settings.h"
#include "devices/device_node_io.h"
#include "devices/keying_device.h"
#include "devices/parallel_port_io.h"
#include "devices/selection_io.h"
#include "devices/serial_lines.h"
#include "devices/serial_port_io.h"

namespace test_ports {

namespace {

constexpr int kFirstDescriptor = 10000;  // far from any real descriptor
constexpr int kReadBufferSize = 4096;

struct SimulatedPort {
    Kind kind = Kind::serial;
    unsigned major = 0;
    unsigned minor = 0;     // tells ports of one kind apart in fstat
    std::string subsystem;  // the kernel class sysfs reports
    bool has_device = false;
    Port state;
    int claim_fd = -1;
    std::vector<std::string> requests;
};

// All guarded by g_mutex: libcw's thread may key a port too.
std::mutex g_mutex;
std::map<std::string, SimulatedPort> g_ports;  // by path
std::map<int, std::string> g_descriptors;      // simulated descriptor -> path
std::map<std::string, std::string> g_links;    // link path -> port path
std::vector<std::string> g_opened_paths;
int g_next_descriptor = kFirstDescriptor;
bool g_fail_all = false;
std::string g_failing_request;  // empty: none
bool g_deny_open = false;
std::atomic<bool> g_slow_control_reads{false};
constexpr auto kSlowReadPause = std::chrono::microseconds(50);

std::string hex_byte(unsigned char value) {
    char text[8];
    snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string line_names(int bits) {
    if (bits == TIOCM_DTR) {
        return "DTR";
    }
    if (bits == TIOCM_RTS) {
        return "RTS";
    }
    char text[16];
    snprintf(text, sizeof text, "0x%x", bits);
    return text;
}

SimulatedPort* port_of(int fd) {
    const auto found = g_descriptors.find(fd);
    return found == g_descriptors.end() ? nullptr : &g_ports[found->second];
}

int fail(int error) {
    errno = error;
    return -1;
}

// Whether the request just recorded is to fail.
bool failing(const std::string& request) {
    return g_fail_all || (!g_failing_request.empty() && request.rfind(g_failing_request, 0) == 0);
}

int simulated_open(const char* path, int flags, int (*real)(const char*, int)) {
    std::lock_guard lock(g_mutex);
    g_opened_paths.push_back(path);
    const auto found = g_ports.find(path);
    if (found == g_ports.end()) {
        return real(path, flags);
    }
    SimulatedPort& port = found->second;
    port.requests.push_back("open");
    port.state.open_flags = flags;
    if (g_deny_open) {
        return fail(EACCES);
    }
    // Opening a closed serial port raises DTR and RTS, as the kernel does.
    if (port.kind == Kind::serial && port.state.open_descriptors == 0) {
        port.state.modem |= TIOCM_DTR | TIOCM_RTS;
    }
    ++port.state.open_descriptors;
    const int fd = g_next_descriptor++;
    g_descriptors[fd] = path;
    return fd;
}

int simulated_fstat(int fd, struct stat* status, int (*real)(int, struct stat*)) {
    std::lock_guard lock(g_mutex);
    SimulatedPort* port = port_of(fd);
    if (port == nullptr) {
        return real(fd, status);
    }
    port->requests.push_back("fstat");
    *status = {};
    status->st_mode = S_IFCHR | 0660;
    status->st_rdev = makedev(port->major, port->minor);
    return 0;
}

int simulated_close(int fd, int (*real)(int)) {
    std::lock_guard lock(g_mutex);
    SimulatedPort* port = port_of(fd);
    if (port == nullptr) {
        return real(fd);
    }
    port->requests.push_back("close");
    --port->state.open_descriptors;
    if (port->claim_fd == fd) {
        port->claim_fd = -1;
        port->state.claimed = false;
    }
    // The last close drops DTR and RTS, unless HUPCL was cleared.
    if (port->kind == Kind::serial && port->state.open_descriptors == 0 && port->state.hupcl) {
        port->state.modem &= ~(TIOCM_DTR | TIOCM_RTS);
    }
    g_descriptors.erase(fd);
    return 0;
}

// Serial requests; a parallel port refuses them as ppdev does.
int serial_request(int fd, const std::string& name, int bits, int* read_into,
                   int (*real)(int, int*), int (*real_bits)(int, int)) {
    std::lock_guard lock(g_mutex);
    SimulatedPort* port = port_of(fd);
    if (port == nullptr) {
        return read_into != nullptr ? real(fd, read_into) : real_bits(fd, bits);
    }
    port->requests.push_back(read_into != nullptr ? name : name + " " + line_names(bits));
    if (failing(name)) {
        return fail(EIO);
    }
    if (port->kind != Kind::serial) {
        return fail(EINVAL);
    }
    if (read_into != nullptr) {
        *read_into = port->state.modem;
    } else if (name == "TIOCMBIS") {
        port->state.modem |= bits;
    } else {
        port->state.modem &= ~bits;
    }
    return 0;
}

int sim_serial_open(const char* path, int flags) {
    return simulated_open(path, flags, varkel::kLinuxSerialPortIo.open);
}
int sim_serial_fstat(int fd, struct stat* status) {
    return simulated_fstat(fd, status, varkel::kLinuxSerialPortIo.fstat);
}
int sim_serial_close(int fd) {
    return simulated_close(fd, varkel::kLinuxSerialPortIo.close);
}
int sim_get_modem_lines(int fd, int* bits) {
    return serial_request(fd, "TIOCMGET", 0, bits, varkel::kLinuxSerialPortIo.get_modem_lines,
                          nullptr);
}
int sim_set_modem_lines(int fd, int bits) {
    return serial_request(fd, "TIOCMBIS", bits, nullptr, nullptr,
                          varkel::kLinuxSerialPortIo.set_modem_lines);
}
int sim_clear_modem_lines(int fd, int bits) {
    return serial_request(fd, "TIOCMBIC", bits, nullptr, nullptr,
                          varkel::kLinuxSerialPortIo.clear_modem_lines);
}

enum class Register { claim, read_control, write_control, write_data, read_status };

// Parallel requests; a serial port refuses them, and registers answer only
// once this descriptor holds the claim.
int parallel_request(int fd, Register which, unsigned char* byte) {
    std::lock_guard lock(g_mutex);
    SimulatedPort* port = port_of(fd);
    const varkel::ParallelPortIo& real = varkel::kLinuxParallelPortIo;
    if (port == nullptr) {
        switch (which) {
            case Register::claim:
                return real.claim(fd);
            case Register::read_control:
                return real.read_control(fd, byte);
            case Register::write_control:
                return real.write_control(fd, *byte);
            case Register::write_data:
                return real.write_data(fd, *byte);
            case Register::read_status:
                return real.read_status(fd, byte);
        }
    }
    static const char* const kNames[] = {"PPCLAIM", "PPRCONTROL", "PPWCONTROL", "PPWDATA",
                                         "PPRSTATUS"};
    std::string text = kNames[static_cast<int>(which)];
    if (which == Register::write_control || which == Register::write_data) {
        // Appended in two steps: GCC 12 at -O3 mistakes " " + string for
        // an overlapping copy (-Wrestrict).
        text += ' ';
        text += hex_byte(*byte);
    }
    port->requests.push_back(text);
    if (failing(text)) {
        return fail(EIO);
    }
    if (port->kind != Kind::parallel) {
        return fail(ENOTTY);
    }
    if (which == Register::claim) {
        if (port->claim_fd != -1) {
            return fail(port->claim_fd == fd ? EINVAL : EBUSY);
        }
        port->claim_fd = fd;
        port->state.claimed = true;
        return 0;
    }
    if (port->claim_fd != fd) {
        return fail(EINVAL);
    }
    switch (which) {
        case Register::read_control:
            *byte = port->state.control;
            break;
        case Register::write_control:
            port->state.control = *byte;
            break;
        case Register::write_data:
            port->state.data = *byte;
            break;
        case Register::read_status:
            *byte = port->state.status;
            break;
        case Register::claim:
            break;
    }
    return 0;
}

int sim_parallel_open(const char* path, int flags) {
    return simulated_open(path, flags, varkel::kLinuxParallelPortIo.open);
}
int sim_parallel_fstat(int fd, struct stat* status) {
    return simulated_fstat(fd, status, varkel::kLinuxParallelPortIo.fstat);
}
int sim_parallel_close(int fd) {
    return simulated_close(fd, varkel::kLinuxParallelPortIo.close);
}
int sim_claim(int fd) {
    return parallel_request(fd, Register::claim, nullptr);
}
int sim_read_control(int fd, unsigned char* value) {
    const int result = parallel_request(fd, Register::read_control, value);
    if (g_slow_control_reads.load()) {
        // Room for another thread's write between this read and our write.
        std::this_thread::sleep_for(kSlowReadPause);
    }
    return result;
}
int sim_write_control(int fd, unsigned char value) {
    return parallel_request(fd, Register::write_control, &value);
}
int sim_write_data(int fd, unsigned char value) {
    return parallel_request(fd, Register::write_data, &value);
}
int sim_read_status(int fd, unsigned char* value) {
    return parallel_request(fd, Register::read_status, value);
}

char* sim_resolve(const char* path, char* resolved) {
    std::lock_guard lock(g_mutex);
    const auto link = g_links.find(path);
    const std::string node = link != g_links.end() ? link->second : path;
    if (g_ports.count(node) == 0) {
        return varkel::kLinuxDeviceNodeIo.resolve(path, resolved);
    }
    snprintf(resolved, PATH_MAX, "%s", node.c_str());
    return resolved;
}

int sim_stat(const char* path, struct stat* status) {
    std::lock_guard lock(g_mutex);
    const auto found = g_ports.find(path);
    if (found == g_ports.end()) {
        return varkel::kLinuxDeviceNodeIo.stat(path, status);
    }
    *status = {};
    status->st_mode = S_IFCHR | 0660;
    status->st_rdev = makedev(found->second.major, found->second.minor);
    return 0;
}

// /sys/dev/char/MAJOR:MINOR/{subsystem,device} of the simulated nodes.
ssize_t sim_read_link(const char* path, char* target, size_t size) {
    std::lock_guard lock(g_mutex);
    for (const auto& [name, port] : g_ports) {
        const std::string entry =
            "/sys/dev/char/" + std::to_string(port.major) + ":" + std::to_string(port.minor) + "/";
        if (path != entry + "subsystem" && path != entry + "device") {
            continue;
        }
        const std::string link = path == entry + "subsystem"
                                     ? "../../../../class/" + port.subsystem
                                     : (port.has_device ? "../../../simulated" : "");
        if (link.empty()) {
            return fail(ENOENT);
        }
        const size_t length = std::min(size, link.size());
        memcpy(target, link.data(), length);
        return static_cast<ssize_t>(length);
    }
    return varkel::kLinuxDeviceNodeIo.read_link(path, target, size);
}

int sim_keep_lines_at_close(int fd) {
    std::lock_guard lock(g_mutex);
    SimulatedPort* port = port_of(fd);
    if (port == nullptr) {
        return varkel::kLinuxSerialPortIo.keep_lines_at_close(fd);
    }
    port->requests.push_back("TCSETS -HUPCL");
    if (failing("TCSETS")) {
        return fail(EIO);
    }
    port->state.hupcl = false;
    return 0;
}

// The unit tests' ports have no input lines: the paddle's requests are
// refused as by a driver without them.
int sim_wait_modem_lines(int, int) {
    return fail(ENOTTY);
}
int sim_get_input_counts(int, varkel::InputLineCounts*) {
    return fail(ENOTTY);
}
int sim_set_low_latency(int) {
    return fail(ENOTTY);
}
int sim_latency_timer_ms(const char*) {
    return -1;
}

const varkel::DeviceNodeIo kSimulatedDeviceNodeIo{
    .resolve = sim_resolve,
    .stat = sim_stat,
    .read_link = sim_read_link,
};

const varkel::SerialPortIo kSimulatedSerialPortIo{
    .open = sim_serial_open,
    .fstat = sim_serial_fstat,
    .close = sim_serial_close,
    .get_modem_lines = sim_get_modem_lines,
    .set_modem_lines = sim_set_modem_lines,
    .clear_modem_lines = sim_clear_modem_lines,
    .keep_lines_at_close = sim_keep_lines_at_close,
    .wait_modem_lines = sim_wait_modem_lines,
    .get_input_counts = sim_get_input_counts,
    .set_low_latency = sim_set_low_latency,
    .latency_timer_ms = sim_latency_timer_ms,
};

const varkel::ParallelPortIo kSimulatedParallelPortIo{
    .open = sim_parallel_open,
    .fstat = sim_parallel_fstat,
    .close = sim_parallel_close,
    .claim = sim_claim,
    .read_control = sim_read_control,
    .write_control = sim_write_control,
    .write_data = sim_write_data,
    .read_status = sim_read_status,
};

std::string path_of(const std::string& name) {
    return "/dev/" + name;
}

}  // namespace

void install() {
    std::lock_guard lock(g_mutex);
    g_ports.clear();
    g_descriptors.clear();
    g_links.clear();
    g_opened_paths.clear();
    g_next_descriptor = kFirstDescriptor;
    g_fail_all = false;
    g_failing_request.clear();
    g_deny_open = false;
    g_slow_control_reads.store(false);
    varkel::serial_port_io = kSimulatedSerialPortIo;
    varkel::parallel_port_io = kSimulatedParallelPortIo;
    varkel::device_node_io = kSimulatedDeviceNodeIo;
}

void uninstall() {
    varkel::selection_io = varkel::kProcessSelectionIo;
    varkel::serial_port_io = varkel::kLinuxSerialPortIo;
    varkel::parallel_port_io = varkel::kLinuxParallelPortIo;
    varkel::device_node_io = varkel::kLinuxDeviceNodeIo;
}

void add(Kind kind, const std::string& name, unsigned char control) {
    std::lock_guard lock(g_mutex);
    SimulatedPort& port = g_ports[path_of(name)];
    port = SimulatedPort{};
    port.kind = kind;
    // ttyUSB and ppdev numbers; no two simulated nodes share one.
    port.major = kind == Kind::serial ? 188 : 99;
    port.minor = static_cast<unsigned>(g_ports.size());
    port.subsystem = kind == Kind::serial ? "tty" : "ppdev";
    port.has_device = kind == Kind::serial;
    port.state.control = control;
}

void add_link(const std::string& name, const std::string& target) {
    std::lock_guard lock(g_mutex);
    g_links[path_of(name)] = path_of(target);
}

void add_decoy(const std::string& name, const std::string& subsystem, bool has_device) {
    add(Kind::serial, name);
    std::lock_guard lock(g_mutex);
    SimulatedPort& port = g_ports[path_of(name)];
    port.major = 10;  // misc
    port.subsystem = subsystem;
    port.has_device = has_device;
}

Port port(const std::string& name) {
    std::lock_guard lock(g_mutex);
    return g_ports[path_of(name)].state;
}

void set_control(const std::string& name, unsigned char control) {
    std::lock_guard lock(g_mutex);
    g_ports[path_of(name)].state.control = control;
}

void set_status(const std::string& name, unsigned char status) {
    std::lock_guard lock(g_mutex);
    g_ports[path_of(name)].state.status = status;
}

void fail_all_requests() {
    std::lock_guard lock(g_mutex);
    g_fail_all = true;
}

void fail_request(const std::string& request) {
    std::lock_guard lock(g_mutex);
    g_failing_request = request;
}

void slow_control_reads() {
    g_slow_control_reads.store(true);
}

void deny_open() {
    std::lock_guard lock(g_mutex);
    g_deny_open = true;
}

void run_as_ordinary_user() {
    varkel::selection_io.effective_user_id = [] { return static_cast<uid_t>(1000); };
}

void fail_next_description_copy() {
    varkel::selection_io.copy_text = [](const char*, std::optional<std::string>&) {
        varkel::selection_io.copy_text = varkel::kProcessSelectionIo.copy_text;
        return false;
    };
}

std::vector<std::string> requests(const std::string& name) {
    std::lock_guard lock(g_mutex);
    return g_ports[path_of(name)].requests;
}

void clear_requests() {
    std::lock_guard lock(g_mutex);
    for (auto& [path, port] : g_ports) {
        port.requests.clear();
    }
}

std::vector<std::string> opened_paths() {
    std::lock_guard lock(g_mutex);
    return g_opened_paths;
}

int open_descriptors() {
    std::lock_guard lock(g_mutex);
    return static_cast<int>(g_descriptors.size());
}

void DeviceTest::SetUp() {
    install();
    varkel::reset_devices_for_tests();
    varkel::reset_serial_lines_for_tests();
    varkel::reset_settings_for_tests();
    varkel::settings.nofork = true;  // error reports on standard output
    varkel::settings.current.verbosity = varkel::DD;
    log_stream_ = tmpfile();
    varkel::set_debug_output(log_stream_);
}

void DeviceTest::TearDown() {
    varkel::set_debug_output(stdout);
    fclose(log_stream_);
    varkel::reset_devices_for_tests();
    varkel::reset_serial_lines_for_tests();
    varkel::reset_settings_for_tests();
    uninstall();
}

std::string DeviceTest::log() {
    fflush(log_stream_);
    rewind(log_stream_);
    std::string text;
    char chunk[kReadBufferSize];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, log_stream_)) > 0) {
        text.append(chunk, got);
    }
    return text;
}

}  // namespace test_ports
