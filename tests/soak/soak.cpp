// Soak test: the real daemon under continuous operator traffic for a bounded
// time, keying a simulated serial port, then three short runs that end it by
// a port failure, by SIGINT and by request 5.
//
// Usage: soak --varkel <binary> --simport <library> [--seconds N] [--sanitized] [--keep]
//
// Several clients on loopback send texts, speed, tone, volume, weighting,
// PTT, tune and device requests all the time. Echoes and aborts need care,
// because the daemon keeps one pending echo for the whole process: a later
// echo request replaces the reply address of an earlier one, and an abort,
// a reset, "PTT delay 0" or "manual PTT off" drop it. So one client at a
// time holds the echo token; only the holder asks for echoes, aborts,
// resets, switches the sound system or sends those PTT requests, and it
// waits for the outcome before giving the token up. That makes every
// outcome decidable:
//   - an echo that was not aborted comes back exactly once, to its client;
//   - an aborted echo comes back either as the echo (it had already been
//     sent) or as "break", exactly one of the two;
//   - nothing else ever arrives at any client.
// At the end the port must be at rest (key up, PTT off), PTT must never have
// fallen while the key was down, descriptors and memory must not have
// grown, and the daemon must still key the port and answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kClientCount = 4;
constexpr int kTextPercent = 3;  // of the requests that leave echoes alone
constexpr int kDefaultSeconds = 60;
constexpr int kMaxSeconds = 300;
constexpr int kReplyTimeoutMs = 30000;
constexpr int kStartTimeoutMs = 10000;
constexpr int kExitTimeoutMs = 15000;
constexpr int kSettleMs = 3000;
constexpr int kMaxFdGrowth = 2;
constexpr long kMaxRssGrowthKb = 4096;
constexpr size_t kReceiveSize = 2048;
constexpr unsigned kDtr = 0x002;  // TIOCM_DTR: the key
constexpr unsigned kRts = 0x004;  // TIOCM_RTS: PTT
const std::string kSimPort = "ttyUSB_sim0";
const std::string kEsc = "\x1b";
const std::string kBreak = "break\r\n";
const std::string kSeparatorLine = "varkel:II: -------------------";

struct Options {
    std::string varkel;
    std::string simport;
    int seconds = kDefaultSeconds;
    bool sanitized = false;
    bool keep = false;  // keep the daemon's files for a look afterwards
};

// ---------------------------------------------------------------- results

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
        std::printf("  ok    %s\n", what.c_str());
    } else {
        ++g_failed;
        std::printf("  FAIL  %s\n", what.c_str());
    }
    std::fflush(stdout);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

size_t count_occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

size_t count_lines_equal(const std::string& text, const std::string& line) {
    std::istringstream stream(text);
    std::string current;
    size_t count = 0;
    while (std::getline(stream, current)) {
        if (current == line) {
            ++count;
        }
    }
    return count;
}

std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\x1b') {
            out += "<ESC>";
        } else {
            out += c;
        }
    }
    return out;
}

// ---------------------------------------------------------------- daemon

int free_udp_port() {
    for (;;) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        close(fd);
        const int port = ntohs(address.sin_port);
        if (port >= 1024) {
            return port;
        }
    }
}

// One run of the daemon in the foreground with the simulated port
// preloaded; its files live in a directory of its own.
class Daemon {
  public:
    explicit Daemon(const Options& options) : options_(options) {
        char pattern[] = "/tmp/varkel-soak-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made == nullptr ? "/tmp" : made;
        port_ = free_udp_port();
    }
    ~Daemon() {
        if (pid_ > 0 && status_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!keep_) {
            std::filesystem::remove_all(dir_);
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool start() {
        const std::vector<std::string> args = {"-n",
                                               "-x",
                                               "n",
                                               "-s",
                                               "60",
                                               "-y",
                                               "i",
                                               "-p",
                                               std::to_string(port_),
                                               "-f",
                                               debug_log_path(),
                                               "-d",
                                               kSimPort};
        pid_ = fork();
        if (pid_ == 0) {
            const int in_fd = open("/dev/null", O_RDONLY);
            const int out_fd = open((dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in_fd, 0);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            setenv("SIMPORT_SERIAL", kSimPort.c_str(), 1);
            setenv("SIMPORT_LOG", sim_log_path().c_str(), 1);
            setenv("SIMPORT_FAIL_FILE", fail_file_path().c_str(), 1);
            setenv("LD_PRELOAD", options_.simport.c_str(), 1);
            // A sanitized daemon wants its runtime first among the libraries;
            // the simulated port only wraps system calls, which it tolerates.
            const char* asan = getenv("ASAN_OPTIONS");
            std::string asan_options = asan == nullptr ? "" : std::string(asan) + ":";
            asan_options += "verify_asan_link_order=0";
            setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(options_.varkel.c_str()));
            for (const auto& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(options_.varkel.c_str(), argv.data());
            _exit(127);
        }
        if (pid_ < 0) {
            return false;
        }
        // Serving once the generator has started: the main loop is next.
        const auto deadline = Clock::now() + milliseconds(kStartTimeoutMs);
        while (Clock::now() < deadline) {
            if (!running()) {
                return false;
            }
            if (debug_log().find("starting generator") != std::string::npos &&
                out().find("Press ^C to quit") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }

    // Exit status, 128 + signal, or -1 while still running after the wait.
    int wait_exit(int timeout_ms) {
        const auto deadline = Clock::now() + milliseconds(timeout_ms);
        for (;;) {
            if (status_ != kRunning) {
                return status_;
            }
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return status_;
            }
            if (Clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    }
    bool running() { return wait_exit(0) == -1; }
    void signal(int sig) const { kill(pid_, sig); }

    int fd_count() const {
        int count = 0;
        std::error_code error;
        for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd",
                                                           error);
             !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            ++count;
        }
        return count;
    }
    long rss_kb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::strtol(line.c_str() + 6, nullptr, 10);
            }
        }
        return -1;
    }
    // Datagrams the kernel dropped because the daemon's socket was full.
    long udp_drops() const {
        std::ifstream table("/proc/net/udp");
        std::string line;
        char wanted[16];
        std::snprintf(wanted, sizeof wanted, ":%04X ", port_);
        while (std::getline(table, line)) {
            const size_t local = line.find(':', line.find(':') + 1);
            if (local == std::string::npos || line.compare(local, 6, wanted) != 0) {
                continue;
            }
            std::istringstream fields(line);
            std::string field;
            long last = 0;
            while (fields >> field) {
                last = std::strtol(field.c_str(), nullptr, 10);
            }
            return last;
        }
        return -1;
    }

    int port() const { return port_; }
    std::string out() const { return read_file(dir_ + "/stdout"); }
    std::string debug_log() const { return read_file(debug_log_path()); }
    std::string sim_log_path() const { return dir_ + "/simport.log"; }
    std::string fail_file_path() const { return dir_ + "/fail"; }
    std::string debug_log_path() const { return dir_ + "/debug.log"; }
    const std::string& dir() const { return dir_; }
    void keep_files() { keep_ = true; }

  private:
    static constexpr int kRunning = -1000;
    const Options& options_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    int status_ = kRunning;
    bool keep_ = false;
};

// ---------------------------------------------------------------- client

class UdpClient {
  public:
    explicit UdpClient(int port) : port_(port) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~UdpClient() { close(fd_); }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    bool send(const std::string& datagram) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        const ssize_t sent = sendto(fd_, datagram.data(), datagram.size(), 0,
                                    reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (sent == static_cast<ssize_t>(datagram.size())) {
            ++sent_;
            return true;
        }
        return false;
    }
    std::optional<std::string> receive(int timeout_ms) const {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, timeout_ms) != 1) {
            return std::nullopt;
        }
        char buffer[kReceiveSize];
        const ssize_t received = recv(fd_, buffer, sizeof buffer, 0);
        if (received < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<size_t>(received));
    }
    uint64_t sent() const { return sent_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    uint64_t sent_ = 0;
};

// ---------------------------------------------------------------- simulated port log

struct PortEvent {
    long long t = 0;
    std::string port;
    std::string request;
    unsigned value = 0;
    bool ok = false;
    unsigned state = 0;
};

std::vector<PortEvent> read_port_events(const std::string& path) {
    std::vector<PortEvent> events;
    std::istringstream lines(read_file(path));
    std::string line;
    while (std::getline(lines, line)) {
        PortEvent event;
        std::istringstream fields(line);
        std::string field;
        while (fields >> field) {
            const size_t equals = field.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            const std::string name = field.substr(0, equals);
            const std::string value = field.substr(equals + 1);
            if (name == "t") {
                event.t = std::strtoll(value.c_str(), nullptr, 10);
            } else if (name == "port") {
                event.port = value;
            } else if (name == "req") {
                event.request = value;
            } else if (name == "val") {
                event.value = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0));
            } else if (name == "ok") {
                event.ok = value == "1";
            } else if (name == "state") {
                event.state = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0));
            }
        }
        if (event.port == "serial") {
            events.push_back(event);
        }
    }
    return events;
}

struct PortSummary {
    size_t key_downs = 0;
    size_t ptt_ons = 0;
    size_t opens = 0;
    size_t closes = 0;
    size_t hot_ptt_drops = 0;             // RTS cleared while DTR was set
    unsigned final_state = 0;             // after the last event
    unsigned before_last_close = 0xFFFF;  // state just before the last close
};

// Key edges, PTT changes, and whether PTT ever fell while the key was down.
// The kernel's own changes on open (both lines up) and on the last close
// (both down at once) are not the daemon's doing and are left out of the
// hot-switching test.
PortSummary summarize(const std::vector<PortEvent>& events, size_t from = 0) {
    PortSummary summary;
    unsigned state = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const PortEvent& event = events[i];
        const unsigned before = state;
        state = event.state;
        if (i < from) {
            continue;
        }
        if (event.request == "OPEN") {
            ++summary.opens;
            continue;
        }
        if (event.request == "CLOSE") {
            ++summary.closes;
            summary.before_last_close = before;
            continue;
        }
        if (!event.ok) {
            continue;
        }
        if ((state & kDtr) != 0 && (before & kDtr) == 0) {
            ++summary.key_downs;
        }
        if ((state & kRts) != 0 && (before & kRts) == 0) {
            ++summary.ptt_ons;
        }
        if ((before & kRts) != 0 && (state & kRts) == 0 && (before & kDtr) != 0) {
            ++summary.hot_ptt_drops;
        }
    }
    summary.final_state = state;
    return summary;
}

// ---------------------------------------------------------------- the load

struct Tally {
    std::mutex mutex;  // guards everything below
    uint64_t echoes_asked = 0;
    uint64_t echoes_back = 0;
    uint64_t aborts = 0;
    uint64_t aborts_broken = 0;    // the abort found the echo pending: "break"
    uint64_t aborts_too_late = 0;  // the echo had gone out before the abort
    uint64_t aborts_ignored = 0;   // in word mode: the echo must come
    uint64_t idle_aborts = 0;      // aborts with no echo pending
    uint64_t lost = 0;
    uint64_t unexpected = 0;
    std::vector<std::string> problems;

    void problem(const std::string& text) {
        ++unexpected;
        if (problems.size() < 20) {
            problems.push_back(text);
        }
    }
};

// The echo token: one echo, abort, reset or flag-clearing request at a time.
std::mutex g_echo_token;
std::atomic<uint64_t> g_sequence{0};

// Letters for a number, so that each marker text is distinct.
std::string letters_for(uint64_t number) {
    std::string word;
    do {
        word.insert(word.begin(), static_cast<char>('A' + number % 26));
        number /= 26;
    } while (number != 0);
    return word.size() < 2 ? "E" + word : word;
}

// A request that never touches a pending echo. Few of them are texts: Morse
// is played far slower than requests arrive, and a growing backlog would
// hold every echo back.
std::string background_request(std::mt19937& random) {
    const auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    if (pick(0, 99) < kTextPercent) {
        static const char* const kTexts[] = {"E", "TI", "+E-", "~ET", "I*E", "E\r\n"};
        return kTexts[pick(0, static_cast<int>(std::size(kTexts)) - 1)];
    }
    static const int kDelays[] = {5, 10, 20, 60};
    switch (pick(0, 21)) {
        case 0:
        case 1:
            return kEsc + "2" + std::to_string(pick(40, 60));
        case 2:
            return kEsc + "3" + std::to_string(pick(0, 3) == 0 ? 0 : pick(400, 1000));
        case 3:
            return kEsc + "g" + std::to_string(pick(0, 100));
        case 4:
            return kEsc + "7" + std::to_string(pick(-50, 50));
        case 5:
            return pick(0, 2) == 0 ? kEsc + "a1" : kEsc + "a 1x";
        case 6:
            return kEsc + "d" + std::to_string(kDelays[pick(0, 3)]);
        case 7:
            return kEsc + "8" + kSimPort;
        case 8:
            return pick(0, 2) == 0 ? kEsc + "8null" : kEsc + "8" + kSimPort;
        case 9:
            return kEsc + "b" + std::to_string(pick(0, 1));
        case 10:
            return kEsc + "e" + std::to_string(pick(-1, 16));
        case 11:
            return kEsc + "9";
        case 12:
            return kEsc + "1";
        case 13:
            return kEsc + "2abc";
        case 14:
            return kEsc + "fx";
        case 15:
            return kEsc + "d-5";
        case 16:
            return kEsc + "ax";
        case 17:
            return kEsc + "c11";
        case 18:
            return kEsc + "3 99999";
        case 19:
            return kEsc + "g-1";
        case 20:
            return kEsc + "7 51";
        default:
            return kEsc + "Z";
    }
}

// Waits for the outcome of one echo. After an abort in character mode,
// "break" is the other acceptable outcome; anything else on this socket is a
// fault.
enum class Outcome { Echo, Break, Lost };

Outcome await_echo(UdpClient& client, const std::string& echo, bool may_break, Tally& tally,
                   int id) {
    const auto deadline = Clock::now() + milliseconds(kReplyTimeoutMs);
    while (Clock::now() < deadline) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count());
        const auto reply = client.receive(left > 0 ? left : 0);
        if (!reply) {
            break;
        }
        if (*reply == echo) {
            return Outcome::Echo;
        }
        if (may_break && *reply == kBreak) {
            return Outcome::Break;
        }
        std::lock_guard lock(tally.mutex);
        tally.problem("client " + std::to_string(id) + " waiting for \"" + printable(echo) +
                      "\" received \"" + printable(*reply) + "\"");
    }
    return Outcome::Lost;
}

// One echo transaction by the token holder. In word mode the daemon ignores
// aborts, so there every transaction aborts and the echo must still come.
void echo_transaction(UdpClient& client, std::mt19937& random, Tally& tally, int id,
                      bool word_mode) {
    const uint64_t sequence = g_sequence++;
    const int kind = std::uniform_int_distribution<int>(0, 9)(random);
    const bool abort = word_mode || kind >= 7;
    std::string echo;
    if (kind % 2 == 0) {
        // Echo marker: the text before it comes back.
        const std::string word = letters_for(sequence);
        const std::string text = abort ? "PARIS " + word : word;
        client.send(text + "^");
        echo = text + "\r\n";
    } else {
        // Echo request, then the text whose end it waits for.
        const std::string tag = "hc" + std::to_string(id) + "n" + std::to_string(sequence);
        static const char* const kTexts[] = {"E", "~E", "+E", "I*", "-T"};
        client.send(kEsc + tag);
        client.send(abort ? std::string("PARIS PARIS")
                          : std::string(kTexts[sequence % std::size(kTexts)]));
        echo = tag + "\r\n";
    }
    if (abort) {
        std::this_thread::sleep_for(
            milliseconds(std::uniform_int_distribution<int>(5, 60)(random)));
        client.send(kEsc + "4");
    }
    const Outcome outcome = await_echo(client, echo, abort && !word_mode, tally, id);
    std::lock_guard lock(tally.mutex);
    ++tally.echoes_asked;
    if (word_mode) {
        ++tally.aborts_ignored;
    } else if (abort) {
        ++tally.aborts;
    }
    switch (outcome) {
        case Outcome::Echo:
            ++tally.echoes_back;
            if (abort && !word_mode) {
                ++tally.aborts_too_late;
            }
            break;
        case Outcome::Break:
            ++tally.aborts_broken;
            break;
        case Outcome::Lost:
            ++tally.lost;
            if (tally.problems.size() < 20) {
                tally.problems.push_back("client " + std::to_string(id) + ": no reply for \"" +
                                         printable(echo) + "\"");
            }
            break;
    }
}

// Requests that would drop a pending echo: only the token holder, between
// its echoes. Tuning drops nothing, but a carrier restarted faster than it
// runs out would hold every echo back until the load stops.
std::string holder_request(std::mt19937& random) {
    switch (std::uniform_int_distribution<int>(0, 10)(random)) {
        case 0:
            return kEsc + "0";
        case 1:
            return kEsc + "fn";
        case 10:
            return kEsc + "c1";
        case 2:
        case 3:
            return kEsc + "d0";
        case 4:
        case 5:
            return kEsc + "4";
        default:
            return kEsc + "a0";
    }
}

void run_client(int id, int port, Clock::time_point until, Tally& tally,
                std::atomic<uint64_t>& sent) {
    UdpClient client(port);
    std::mt19937 random(static_cast<unsigned>(1234 + id));
    while (Clock::now() < until) {
        const bool want_token = std::uniform_int_distribution<int>(0, 5)(random) == 0;
        if (want_token && g_echo_token.try_lock()) {
            std::lock_guard token(g_echo_token, std::adopt_lock);
            const int action = std::uniform_int_distribution<int>(0, 7)(random);
            if (action == 0) {
                // Word mode lasts until a reset.
                client.send(kEsc + "6");
                echo_transaction(client, random, tally, id, true);
                client.send(kEsc + "0");
            } else {
                if (action <= 2) {
                    const std::string request = holder_request(random);
                    client.send(request);
                    if (request == kEsc + "4") {
                        std::lock_guard lock(tally.mutex);
                        ++tally.idle_aborts;
                    }
                }
                echo_transaction(client, random, tally, id, false);
            }
        } else {
            client.send(background_request(random));
        }
        // Nothing may arrive outside this client's own echo transactions.
        while (const auto stray = client.receive(0)) {
            std::lock_guard lock(tally.mutex);
            tally.problem("client " + std::to_string(id) + " received stray \"" +
                          printable(*stray) + "\"");
        }
        std::this_thread::sleep_for(
            milliseconds(std::uniform_int_distribution<int>(25, 60)(random)));
    }
    // Late duplicates would come now.
    while (const auto stray = client.receive(1000)) {
        std::lock_guard lock(tally.mutex);
        tally.problem("client " + std::to_string(id) + " received late \"" + printable(*stray) +
                      "\"");
    }
    sent += client.sent();
}

// Waits until the port has been quiet for a while (no new events).
void wait_port_quiet(const Daemon& daemon, int quiet_ms, int timeout_ms) {
    const auto deadline = Clock::now() + milliseconds(timeout_ms);
    size_t seen = 0;
    auto quiet_since = Clock::now();
    while (Clock::now() < deadline) {
        const size_t now = read_port_events(daemon.sim_log_path()).size();
        if (now != seen) {
            seen = now;
            quiet_since = Clock::now();
        } else if (Clock::now() - quiet_since >= milliseconds(quiet_ms)) {
            return;
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
}

void print_tail(const std::string& title, const std::string& text) {
    const size_t from = text.size() > 2000 ? text.size() - 2000 : 0;
    std::printf("---- %s (tail)\n%s\n----\n", title.c_str(), text.substr(from).c_str());
}

// ---------------------------------------------------------------- runs

void soak_run(const Options& options) {
    std::printf("soak: %d clients for %d s against one daemon\n", kClientCount, options.seconds);
    Daemon daemon(options);
    if (!daemon.start()) {
        check(false, "daemon starts on the simulated port");
        print_tail("stdout", daemon.out());
        return;
    }
    const auto start = Clock::now();
    const auto until = start + std::chrono::seconds(options.seconds);
    Tally tally;
    std::atomic<uint64_t> sent{0};
    std::vector<std::thread> clients;
    for (int id = 0; id < kClientCount; ++id) {
        clients.emplace_back(run_client, id, daemon.port(), until, std::ref(tally), std::ref(sent));
    }
    // The baseline is taken once every kind of request has been seen a few
    // times: libcw, the sound system and the allocator have settled.
    const auto warm_up =
        std::min(std::chrono::seconds(options.seconds / 5 + 1), std::chrono::seconds(10));
    std::this_thread::sleep_for(warm_up);
    const int fds_before = daemon.fd_count();
    const long rss_before = daemon.rss_kb();
    int fds_peak = fds_before;
    long rss_peak = rss_before;
    while (Clock::now() < until && daemon.running()) {
        std::this_thread::sleep_for(milliseconds(500));
        fds_peak = std::max(fds_peak, daemon.fd_count());
        rss_peak = std::max(rss_peak, daemon.rss_kb());
    }
    for (auto& client : clients) {
        client.join();
    }
    const bool alive = daemon.running();
    check(alive, "daemon survived the load");
    if (!alive) {
        print_tail("stdout", daemon.out());
        print_tail("debug log", daemon.debug_log());
        daemon.keep_files();
        return;
    }

    // Manual PTT may still be held by a client: let it go, as an operator
    // would, and let the queue drain.
    {
        UdpClient operator_client(daemon.port());
        operator_client.send(kEsc + "a0");
        sent += operator_client.sent();
    }
    wait_port_quiet(daemon, kSettleMs, 30000);
    const int fds_after = daemon.fd_count();
    const long rss_after = daemon.rss_kb();
    const std::vector<PortEvent> load_events = read_port_events(daemon.sim_log_path());
    const PortSummary load = summarize(load_events);

    check(tally.lost == 0, "every echo came back (lost: " + std::to_string(tally.lost) + ")");
    check(tally.unexpected == 0,
          "nothing arrived twice, late or at the wrong client (unexpected: " +
              std::to_string(tally.unexpected) + ")");
    for (const auto& problem : tally.problems) {
        std::printf("        %s\n", problem.c_str());
    }
    check(tally.aborts_broken + tally.aborts_too_late == tally.aborts,
          "every abort of a pending echo gave exactly one of break or echo");
    const std::string log = daemon.debug_log();
    const size_t breaks_logged = count_occurrences(log, "varkel:II: echo \"break\"");
    check(breaks_logged == tally.aborts_broken,
          "every \"break\" the daemon logged reached the client (" + std::to_string(breaks_logged) +
              " logged, " + std::to_string(tally.aborts_broken) + " received)");
    check(load.key_downs > 0, "the port was keyed");
    check(load.hot_ptt_drops == 0,
          "PTT never fell while the key was down (" + std::to_string(load.hot_ptt_drops) + ")");
    check((load.final_state & (kDtr | kRts)) == 0,
          "the port is at rest after the load (state " + std::to_string(load.final_state) + ")");
    check(fds_after - fds_before <= kMaxFdGrowth, "descriptors did not grow (" +
                                                      std::to_string(fds_before) + " -> " +
                                                      std::to_string(fds_after) + ")");
    if (options.sanitized) {
        std::printf("  note  memory not judged: the sanitizer keeps freed memory\n");
    } else {
        check(rss_after - rss_before <= kMaxRssGrowthKb,
              "memory did not grow (" + std::to_string(rss_before) + " kB -> " +
                  std::to_string(rss_after) + " kB)");
    }

    // Still answering, and still keying the port after all the device
    // switches and generator rebuilds.
    UdpClient last(daemon.port());
    last.send(kEsc + "8" + kSimPort);
    last.send(kEsc + "hfinal");
    last.send("TEST");
    const auto reply = last.receive(kReplyTimeoutMs);
    check(reply && *reply == "hfinal\r\n",
          "the daemon still answers (" + printable(reply.value_or("nothing")) + ")");
    wait_port_quiet(daemon, 1000, 10000);
    const std::vector<PortEvent> final_events = read_port_events(daemon.sim_log_path());
    const PortSummary final_text = summarize(final_events, load_events.size());
    // T E S T: six elements.
    check(final_text.key_downs == 6, "the last text keyed the port (" +
                                         std::to_string(final_text.key_downs) +
                                         " key-downs for TEST)");
    check((final_text.final_state & (kDtr | kRts)) == 0, "the port is at rest again");

    const long drops = daemon.udp_drops();
    last.send(kEsc + "5");
    sent += last.sent();
    const int status = daemon.wait_exit(kExitTimeoutMs);
    check(status == 0, "request 5 ends the daemon with status 0 (" + std::to_string(status) + ")");
    const PortSummary at_exit = summarize(read_port_events(daemon.sim_log_path()));
    check(at_exit.closes > 0 && (at_exit.before_last_close & (kDtr | kRts)) == 0,
          "the port was released at rest");

    const std::string final_log = daemon.debug_log();
    const size_t handled = count_lines_equal(final_log, kSeparatorLine);
    const size_t total_sent = sent.load();
    check(handled == total_sent, "every datagram was handled (" + std::to_string(handled) + " of " +
                                     std::to_string(total_sent) + ")");

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("\nsoak figures (%.0f s):\n", seconds);
    std::printf("  datagrams sent            %zu\n", total_sent);
    std::printf("  datagrams handled         %zu (%.0f per second)\n", handled,
                static_cast<double>(handled) / seconds);
    std::printf("  dropped by the kernel     %ld\n", drops);
    std::printf("  echoes asked / back       %llu / %llu\n",
                static_cast<unsigned long long>(tally.echoes_asked),
                static_cast<unsigned long long>(tally.echoes_back));
    std::printf("  aborts of a pending echo  %llu (break %llu, echo instead %llu)\n",
                static_cast<unsigned long long>(tally.aborts),
                static_cast<unsigned long long>(tally.aborts_broken),
                static_cast<unsigned long long>(tally.aborts_too_late));
    std::printf("  aborts in word mode       %llu (ignored, echo came)\n",
                static_cast<unsigned long long>(tally.aborts_ignored));
    std::printf("  aborts with none pending  %llu\n",
                static_cast<unsigned long long>(tally.idle_aborts));
    std::printf("  key-downs / PTT-ons       %zu / %zu\n", load.key_downs, load.ptt_ons);
    std::printf("  port opens / closes       %zu / %zu\n", at_exit.opens, at_exit.closes);
    std::printf("  descriptors               %d before, %d after, %d peak\n", fds_before, fds_after,
                fds_peak);
    std::printf("  VmRSS                     %ld kB before, %ld kB after, %ld kB peak\n\n",
                rss_before, rss_after, rss_peak);
    if (g_failed != 0 || options.keep) {
        daemon.keep_files();
        std::printf("  files kept in %s\n", daemon.dir().c_str());
    }
}

// Starts a daemon and keeps it sending a long text until the port moves.
bool start_sending(Daemon& daemon, UdpClient& client) {
    if (!daemon.start()) {
        return false;
    }
    client.send("PARIS PARIS PARIS");
    const auto deadline = Clock::now() + milliseconds(5000);
    while (Clock::now() < deadline) {
        if (summarize(read_port_events(daemon.sim_log_path())).key_downs >= 2) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

void fault_port_failure(const Options& options) {
    std::printf("fault: the port fails while keying\n");
    Daemon daemon(options);
    UdpClient client(daemon.port());
    if (!start_sending(daemon, client)) {
        check(false, "daemon keys the simulated port");
        return;
    }
    std::ofstream(daemon.fail_file_path()) << "unplugged\n";
    const int status = daemon.wait_exit(kExitTimeoutMs);
    const std::string out = daemon.out();
    const std::string report =
        "varkel: Ioctl serial port " + kSimPort + " failed: \"Input/output error\"";
    check(status == 1, "exit status 1 (" + std::to_string(status) + ")");
    check(out.find(report) != std::string::npos,
          "the report names the port: " + report + " (" +
              std::to_string(count_occurrences(out, report)) + " times)");
    if (status != 1) {
        print_tail("stdout", out);
    }
}

void fault_sigint(const Options& options) {
    std::printf("fault: SIGINT while keying\n");
    Daemon daemon(options);
    UdpClient client(daemon.port());
    if (!start_sending(daemon, client)) {
        check(false, "daemon keys the simulated port");
        return;
    }
    daemon.signal(SIGINT);
    const int status = daemon.wait_exit(kExitTimeoutMs);
    check(status == 0, "exit status 0 (" + std::to_string(status) + ")");
    check(daemon.out().find("varkel: Exiting\n") != std::string::npos, "\"varkel: Exiting\"");
    const PortSummary summary = summarize(read_port_events(daemon.sim_log_path()));
    check(summary.closes > 0 && (summary.before_last_close & (kDtr | kRts)) == 0,
          "the port was released at rest");
}

void fault_request_stop(const Options& options) {
    std::printf("fault: request 5 while keying\n");
    Daemon daemon(options);
    UdpClient client(daemon.port());
    if (!start_sending(daemon, client)) {
        check(false, "daemon keys the simulated port");
        return;
    }
    client.send(kEsc + "5");
    const int status = daemon.wait_exit(kExitTimeoutMs);
    check(status == 0, "exit status 0 (" + std::to_string(status) + ")");
    const PortSummary summary = summarize(read_port_events(daemon.sim_log_path()));
    check(summary.closes > 0 && (summary.before_last_close & (kDtr | kRts)) == 0,
          "the port was released at rest");
}

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--varkel" && has_value) {
            options.varkel = argv[++i];
        } else if (arg == "--simport" && has_value) {
            options.simport = argv[++i];
        } else if (arg == "--seconds" && has_value) {
            options.seconds = std::atoi(argv[++i]);
        } else if (arg == "--sanitized") {
            options.sanitized = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return false;
        }
    }
    return !options.varkel.empty() && !options.simport.empty() && options.seconds >= 1 &&
           options.seconds <= kMaxSeconds;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: soak --varkel <binary> --simport <library> [--seconds 1..%d] "
                     "[--sanitized] [--keep]\n",
                     kMaxSeconds);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // Progress shows as it happens, also when the output goes to a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    soak_run(options);
    fault_port_failure(options);
    fault_sigint(options);
    fault_request_stop(options);
    std::printf("soak: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
