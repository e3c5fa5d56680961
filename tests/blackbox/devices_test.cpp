// The real daemon keying simulated serial and parallel ports (the simport
// library preloaded), seen through the ports' request log.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"
#include "blackbox/morse_decoder.h"
#include "blackbox/simport_log.h"

using harness::Client;
using harness::Daemon;
using simport::Event;

namespace {

constexpr const char* kSerial = "ttyUSB_sim0";
constexpr const char* kParallel = "parport_sim0";
constexpr const char* kIoError = "\"Input/output error\"";
constexpr int kWaitMs = 10000;

// The environment of the simulated ports, with their files in dir.
harness::Env port_env(const std::string& dir, harness::Env extra = {}) {
    harness::Env env = {{"SIMPORT_SERIAL", kSerial},
                        {"SIMPORT_PARALLEL", kParallel},
                        {"SIMPORT_LOG", dir + "/simport.log"}};
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<Event> port_events(const Daemon& daemon, const std::string& port) {
    return simport::of_port(simport::read_log(daemon.dir() + "/simport.log"), port);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Processes whose environment holds the entry: finds a detached daemon.
std::vector<pid_t> processes_with_env(const std::string& entry) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* item = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(item->d_name));
        if (pid <= 0) {
            continue;
        }
        const std::string environ = harness::read_file("/proc/" + std::to_string(pid) + "/environ");
        size_t at = 0;
        while (at < environ.size()) {
            const size_t end = environ.find('\0', at);
            if (environ.compare(at, end - at, entry) == 0) {
                found.push_back(pid);
                break;
            }
            at = end == std::string::npos ? environ.size() : end + 1;
        }
    }
    closedir(proc);
    return found;
}

std::vector<std::string> names(const std::vector<Event>& events, size_t from = 0) {
    const auto all = simport::request_names(events);
    return from >= all.size() ? std::vector<std::string>{}
                              : std::vector<std::string>(all.begin() + from, all.end());
}

using Names = std::vector<std::string>;

TEST(Devices, SerialPortChosenWithDashDHasBothLinesClearedAtOnceAndAtExit) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-d", kSerial}, port_env(daemon.dir()), true));
    auto serial = port_events(daemon, "serial");
    ASSERT_EQ(names(serial), (Names{"OPEN", "TIOCMGET", "TIOCMBIC", "TIOCMBIC"}));
    EXPECT_EQ(serial[0].state, simport::kDtr | simport::kRts);  // the open raised them
    EXPECT_EQ(serial[2].value, simport::kDtr);
    EXPECT_EQ(serial[3].value, simport::kRts);
    EXPECT_EQ(serial[3].state, 0u);
    std::printf("open to both lines cleared: %.3f ms\n",
                static_cast<double>(serial[3].time_ns - serial[0].time_ns) / 1e6);

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
    serial = port_events(daemon, "serial");
    EXPECT_EQ(names(serial, 4), (Names{"TIOCMBIC", "TIOCMBIC", "CLOSE"}));
    EXPECT_EQ(serial.back().state, 0u);
    for (const Event& event : serial) {
        EXPECT_TRUE(event.ok) << event.request;
        EXPECT_EQ(event.pid, daemon.pid());
    }
}

TEST(Devices, TextIsKeyedOnDtrAndTheKeyEndsUp) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-d", kSerial}, port_env(daemon.dir()), true));
    Client client;
    ASSERT_TRUE(client.send("ee", daemon.port()));
    // Two dits: DTR up and down twice after init.
    const auto dtr_edges = [&] {
        return simport::line_timeline(port_events(daemon, "serial"), "serial", simport::kDtr);
    };
    EXPECT_TRUE(wait_until([&] { return dtr_edges().size() >= 6; }));
    const auto edges = dtr_edges();
    ASSERT_GE(edges.size(), 6u);
    EXPECT_FALSE(edges.back().on);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
}

TEST(Devices, ParallelPortIsClaimedPutAtRestAndReleasedAtExit) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground(
        {"-d", kParallel}, port_env(daemon.dir(), {{"SIMPORT_CONTROL", "0x0c"}}), true));
    auto parallel = port_events(daemon, "parallel");
    // The serial probe leaves a ppdev node unopened; the parallel probe
    // opens and claims it.
    ASSERT_GE(parallel.size(), 3u);
    EXPECT_EQ(names(parallel).at(0), "OPEN");
    EXPECT_EQ(names(parallel).at(1), "PPCLAIM");
    EXPECT_TRUE(parallel.at(1).ok);
    EXPECT_EQ(parallel.back().request, "PPWDATA");
    EXPECT_EQ(parallel.back().state, 0x09u);  // in use, key up, PTT off, microphone
    EXPECT_EQ(parallel.back().data, 0x00u);
    EXPECT_TRUE(parallel.back().claimed);

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
    parallel = port_events(daemon, "parallel");
    ASSERT_GE(parallel.size(), 3u);
    EXPECT_EQ(names(parallel, parallel.size() - 3), (Names{"PPRCONTROL", "PPWCONTROL", "CLOSE"}));
    EXPECT_EQ(parallel.back().state, 0x08u);  // only the in-use marker fell
    EXPECT_FALSE(parallel.back().claimed);
}

// The foot switch acts when it changes: pressed it raises PTT, released it
// drops only the PTT it raised. An open switch never cuts automatic PTT
// under a text (the loop wakes at every datagram and every second), nor
// manual PTT.
TEST(Devices, FootSwitchRaisesPttAndItsReleaseDropsOnlyThePttItRaised) {
    Daemon daemon;
    const std::string status_file = daemon.dir() + "/status";
    write_text(status_file, "0x87\n");  // switch pressed: bit 3 clear
    ASSERT_TRUE(daemon.start_foreground(
        {"-d", kParallel, "-t", "10", "-s", "40"},
        port_env(daemon.dir(), {{"SIMPORT_STATUS_FILE", status_file}}), true));
    Client client;
    const auto last_control = [&] {
        const auto events = port_events(daemon, "parallel");
        return events.empty() ? 0u : events.back().state;
    };
    // Sets the switch and waits until the loop has read it.
    const auto press = [&](bool pressed) {
        const unsigned status = pressed ? 0x87 : 0x7f;
        write_text(status_file, pressed ? "0x87\n" : "0x7f\n");
        const size_t from = port_events(daemon, "parallel").size();
        ASSERT_TRUE(client.send("\r\n", daemon.port()));  // wakes the loop
        ASSERT_TRUE(wait_until([&] {
            const auto events = port_events(daemon, "parallel");
            for (size_t i = from; i < events.size(); ++i) {
                if (events[i].request == "PPRSTATUS" && events[i].status == status) {
                    return true;
                }
            }
            return false;
        }));
    };
    press(true);
    EXPECT_TRUE(wait_until([&] { return last_control() == 0x0D; }));
    press(false);
    EXPECT_TRUE(wait_until([&] { return last_control() == 0x09; }));

    // Automatic PTT through a text that keeps the loop waking.
    const size_t text_from = port_events(daemon, "parallel").size();
    ASSERT_TRUE(client.send("TTTTTTTT", daemon.port()));
    ASSERT_TRUE(daemon.wait_for_output("II: PTT (auto) off", kWaitMs));
    ASSERT_TRUE(wait_until([&] { return last_control() == 0x09; }));
    const auto text = port_events(daemon, "parallel");
    size_t key_downs = 0;
    for (size_t i = text_from; i < text.size(); ++i) {
        const bool key_down = (text[i].state & simport::kControlKey) == 0;
        key_downs += key_down && text[i].request == "PPWCONTROL" ? 1 : 0;
        EXPECT_FALSE(key_down && (text[i].state & simport::kControlPtt) == 0)
            << i << " " << text[i].request;
    }
    EXPECT_EQ(key_downs, 8u);

    // Manual PTT outlasts a press and release of the switch.
    ASSERT_TRUE(
        client.send("\x1b"
                    "a1",
                    daemon.port()));
    ASSERT_TRUE(wait_until([&] { return last_control() == 0x0D; }));
    press(true);
    press(false);
    press(false);  // a read after the release's pass has acted on it
    EXPECT_EQ(last_control(), 0x0Du);
    ASSERT_TRUE(
        client.send("\x1b"
                    "a0",
                    daemon.port()));
    EXPECT_TRUE(wait_until([&] { return last_control() == 0x09; }));
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
}

// The daemon's own descriptors (its sockets, the file, and the ports that
// the simulated ports log as open) that a program its libraries start
// would inherit, by /proc/PID/fdinfo.
std::vector<std::string> inheritable_descriptors(const Daemon& daemon, const std::string& file) {
    std::vector<int> ports;
    for (const Event& event : simport::read_log(daemon.dir() + "/simport.log")) {
        if (event.request == "OPEN" && event.ok) {
            ports.push_back(event.fd);
        } else if (event.request == "CLOSE") {
            std::erase(ports, event.fd);
        }
    }
    std::vector<std::string> found;
    const std::string proc = "/proc/" + std::to_string(daemon.pid());
    DIR* fds = opendir((proc + "/fd").c_str());
    while (dirent* item = fds == nullptr ? nullptr : readdir(fds)) {
        const int fd = atoi(item->d_name);
        char target[256] = {};
        const ssize_t length =
            readlink((proc + "/fd/" + item->d_name).c_str(), target, sizeof target - 1);
        const std::string name = length > 0 ? target : "?";
        const bool own = name.rfind("socket:", 0) == 0 || name == file ||
                         std::find(ports.begin(), ports.end(), fd) != ports.end();
        const std::string info = harness::read_file(proc + "/fdinfo/" + item->d_name);
        const size_t at = info.find("flags:");
        if (fd > 2 && own && at != std::string::npos &&
            (std::stoul(info.substr(at + 6), nullptr, 8) & O_CLOEXEC) == 0) {
            found.push_back(std::to_string(fd) + " -> " + name);
        }
    }
    if (fds != nullptr) {
        closedir(fds);
    }
    return found;
}

// Ports, sockets and the debug file stay out of programs that libraries
// start; and a parallel port that another program holds is not waited for:
// the request fails with a warning, and requests, keying and the serial
// port in use go on.
TEST(Devices, DescriptorsCloseOnExecAndAHeldParallelPortLeavesTheCurrentDevice) {
    Daemon daemon;
    const int port = harness::free_udp_port();
    const std::string debug_file = daemon.dir() + "/debug.log";
    const std::string held_file = daemon.dir() + "/held";
    ASSERT_TRUE(daemon.start(
        {"-n", "-x", "n", "-y", "d", "-p", std::to_string(port), "-f", debug_file, "-d", kSerial},
        port_env(daemon.dir(), {{"SIMPORT_HELD_FILE", held_file}}), true));
    const auto logged = [&](const std::string& line, size_t count = 1) {
        return wait_until([&] {
            const std::string all = harness::read_file(debug_file);
            size_t seen = 0;
            for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) {
                ++seen;
            }
            return seen >= count;
        });
    };
    ASSERT_TRUE(logged("starting generator"));
    ASSERT_TRUE(harness::wait_for_udp_port(port));
    EXPECT_EQ(inheritable_descriptors(daemon, debug_file), std::vector<std::string>{});

    write_text(held_file, "");
    Client client;
    ASSERT_TRUE(client.send(std::string("\x1b"
                                        "8") +
                                kParallel,
                            port));
    ASSERT_TRUE(
        client.send("\x1b"
                    "2 31",
                    port));
    EXPECT_TRUE(logged("varkel:WW: parallel port \"" + std::string(kParallel) +
                       "\" is held by another program, keeping the current keying device\n"));
    EXPECT_TRUE(logged("varkel:II: requested morse speed [wpm]: \"31\"\n"));
    ASSERT_TRUE(client.send("e", port));
    EXPECT_TRUE(wait_until([&] {
        const auto dtr =
            simport::line_timeline(port_events(daemon, "serial"), "serial", simport::kDtr);
        return dtr.size() >= 4 && !dtr.back().on;
    }));
    EXPECT_EQ(names(port_events(daemon, "serial")).back(), "TIOCMBIC");  // not closed
    const auto parallel = port_events(daemon, "parallel");
    ASSERT_FALSE(parallel.empty());
    EXPECT_EQ(parallel.back().request, "CLOSE");

    // Let go by the other program, the port is taken.
    std::remove(held_file.c_str());
    ASSERT_TRUE(client.send(std::string("\x1b"
                                        "8") +
                                kParallel,
                            port));
    EXPECT_TRUE(logged("keying device used: \"" + std::string(kParallel) + "\""));
    EXPECT_TRUE(wait_until([&] {
        const auto events = port_events(daemon, "parallel");
        return std::any_of(events.begin(), events.end(), [](const Event& event) {
            return event.request == "PPWDATA" && event.claimed;
        });
    }));
    EXPECT_EQ(inheritable_descriptors(daemon, debug_file), std::vector<std::string>{});
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
}

TEST(Devices, PortThatCannotBeOpenedLeavesTheNullDevice) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground(
        {"-d", kSerial}, port_env(daemon.dir(), {{"SIMPORT_DENY_OPEN", "1"}}), true));
    // Options are read at the threshold in force before start-up: errors only.
    EXPECT_NE(
        daemon.out().find("varkel:EE: no valid device found, setting cwdevice to null device\n"),
        std::string::npos);
    // The serial probe was refused the open; the parallel probe leaves a
    // terminal unopened.
    const auto serial = port_events(daemon, "serial");
    EXPECT_EQ(names(serial), (Names{"OPEN"}));
    for (const Event& event : serial) {
        EXPECT_EQ(event.error, EACCES);
    }
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
}

TEST(Devices, UnpluggedSerialAdapterWhileKeyingEndsWithStatusOne) {
    Daemon daemon;
    const std::string fail_file = daemon.dir() + "/unplugged";
    ASSERT_TRUE(daemon.start_foreground(
        {"-d", kSerial}, port_env(daemon.dir(), {{"SIMPORT_FAIL_FILE", fail_file}}), true));
    write_text(fail_file, "");
    Client client;
    ASSERT_TRUE(client.send("e", daemon.port()));
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 1);
    const std::string report =
        std::string("varkel: Ioctl serial port ttyUSB_sim0 failed: ") + kIoError + "\n";
    const std::string out = daemon.out();
    EXPECT_NE(out.find(report), std::string::npos);
    EXPECT_EQ(out.find(report), out.rfind(report)) << "reported once";
    // Nothing more is asked of the port once it has failed.
    const auto serial = port_events(daemon, "serial");
    ASSERT_FALSE(serial.empty());
    EXPECT_EQ(serial.back().request, "TIOCMBIS");
    EXPECT_FALSE(serial.back().ok);
}

TEST(Devices, SerialPortFailingAtReleaseEndsWithStatusOne) {
    Daemon daemon;
    const std::string fail_file = daemon.dir() + "/unplugged";
    ASSERT_TRUE(daemon.start_foreground(
        {"-d", kSerial}, port_env(daemon.dir(), {{"SIMPORT_FAIL_FILE", fail_file}}), true));
    write_text(fail_file, "");
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 1);
    EXPECT_NE(daemon.out().find("varkel: Exiting\nvarkel: Ioctl serial port ttyUSB_sim0 failed: "),
              std::string::npos);
}

TEST(Devices, ParallelFootSwitchReadFailureEndsWithStatusOne) {
    Daemon daemon;
    const std::string fail_file = daemon.dir() + "/unplugged";
    ASSERT_TRUE(daemon.start_foreground(
        {"-d", kParallel}, port_env(daemon.dir(), {{"SIMPORT_FAIL_FILE", fail_file}}), true));
    write_text(fail_file, "");
    Client client;
    ASSERT_TRUE(client.send("\r\n", daemon.port()));
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 1);
    EXPECT_NE(daemon.out().find(std::string("varkel: Parallel port PPIGSTATUS failed: ") +
                                kIoError + "\n"),
              std::string::npos);
    const auto parallel = port_events(daemon, "parallel");
    ASSERT_FALSE(parallel.empty());
    EXPECT_EQ(parallel.back().request, "PPRSTATUS");
    EXPECT_FALSE(parallel.back().ok);
}

TEST(Devices, DetachingParentLeavesTheClaimedPortToTheChild) {
    Daemon daemon;
    const int port = harness::free_udp_port();
    const std::string status_file = daemon.dir() + "/status";
    write_text(status_file, "0x87\n");
    const harness::Env env = port_env(daemon.dir(), {{"SIMPORT_STATUS_FILE", status_file}});
    ASSERT_TRUE(daemon.start({"-d", kParallel, "-x", "n", "-p", std::to_string(port)}, env, true));
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);

    // The child is the process left with this test's log in its environment.
    std::vector<pid_t> children;
    ASSERT_TRUE(wait_until([&] {
        children = processes_with_env("SIMPORT_LOG=" + daemon.dir() + "/simport.log");
        return !children.empty();
    }));
    const pid_t child = children.front();

    // The parent's last request was the init's data write: no release.
    const auto parent = simport::of_port(simport::read_log(daemon.dir() + "/simport.log"),
                                         "parallel", daemon.pid());
    ASSERT_FALSE(parent.empty());
    EXPECT_EQ(parent.back().request, "PPWDATA");

    // The child still drives the claimed port: a wake-up reads the switch.
    ASSERT_TRUE(harness::wait_for_udp_port(port));
    Client client;
    ASSERT_TRUE(client.send("\r\n", port));
    EXPECT_TRUE(wait_until([&] {
        const auto events =
            simport::of_port(simport::read_log(daemon.dir() + "/simport.log"), "parallel", child);
        return !events.empty() && events.back().request == "PPWCONTROL" && events.back().ok &&
               events.back().state == 0x0D;
    }));
    // Detached too, SIGTERM ends the child through its clean-up: PTT that
    // the foot switch holds falls, the key stays up, the port is let go.
    kill(child, SIGTERM);
    // Gone, or a zombie where nothing reaps orphans.
    ASSERT_TRUE(wait_until([&] {
        const std::string stat = harness::read_file("/proc/" + std::to_string(child) + "/stat");
        const size_t name_end = stat.rfind(')');
        return stat.empty() ||
               (name_end != std::string::npos && stat.compare(name_end, 4, ") Z ") == 0);
    }));
    const auto ended =
        simport::of_port(simport::read_log(daemon.dir() + "/simport.log"), "parallel", child);
    ASSERT_FALSE(ended.empty());
    EXPECT_EQ(ended.back().request, "CLOSE");
    EXPECT_EQ(ended.back().state, simport::kControlKey);
    EXPECT_FALSE(ended.back().claimed);
}

TEST(Devices, DeviceRequestOpensPortsAndTheirLinksButNothingElse) {
    constexpr const char* kLink = "serial/by-id/usb-SIM_Serial_0001-if00-port0";
    Daemon daemon;
    const std::string open_log = daemon.dir() + "/opened.log";
    ASSERT_TRUE(daemon.start_foreground({"-d", kLink},
                                        port_env(daemon.dir(), {{"SIMPORT_SERIAL_LINK", kLink},
                                                                {"SIMPORT_WATCHDOG", "watchdog"},
                                                                {"SIMPORT_CONSOLE", "tty1"},
                                                                {"SIMPORT_OPEN_LOG", open_log}}),
                                        true));
    Client client;
    // Each decoy would answer the serial probe: only its class keeps it shut.
    const char* const kRefused[] = {"watchdog", "tty1", "../../etc/passwd", "../proc/self/mem",
                                    "mem",      "kmsg", "console",          "tty"};
    for (const char* name : kRefused) {
        ASSERT_TRUE(client.send(std::string("\x1b"
                                            "8") +
                                    name,
                                daemon.port()));
    }
    ASSERT_TRUE(daemon.wait_for_output("no valid device found", kWaitMs, std::size(kRefused)));
    ASSERT_TRUE(client.send(std::string("\x1b"
                                        "8") +
                                kParallel,
                            daemon.port()));
    ASSERT_TRUE(client.send(std::string("\x1b"
                                        "8") +
                                kSerial,
                            daemon.port()));
    ASSERT_TRUE(daemon.wait_for_output("keying device used: \"" + std::string(kSerial), kWaitMs));
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);

    const std::string serial_path = std::string("/dev/") + kSerial;
    const std::string parallel_path = std::string("/dev/") + kParallel;
    std::vector<std::string> device_opens;
    for (const std::string& path : harness::split_lines(harness::read_file(open_log))) {
        if (path.rfind("/dev/", 0) == 0 || path.find("..") != std::string::npos) {
            device_opens.push_back(path);
        }
    }
    // The link is followed to the port, which is what gets opened.
    EXPECT_EQ(device_opens, (std::vector<std::string>{serial_path, parallel_path, serial_path}));
    const auto events = simport::read_log(daemon.dir() + "/simport.log");
    EXPECT_TRUE(simport::of_port(events, "watchdog").empty());
    EXPECT_TRUE(simport::of_port(events, "console").empty());
    EXPECT_EQ(simport::of_port(events, "parallel").at(0).request, "OPEN");
}

TEST(Devices, DescriptorsStayFlatOverAThousandReselections) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-d", kSerial}, port_env(daemon.dir()), true));
    Client client;
    ASSERT_TRUE(client.send(std::string("\x1b") + "8" + kSerial, daemon.port()));
    if (!daemon.wait_for_output("requested cwdevice", 3000)) {
        daemon.signal(SIGINT);
        daemon.wait_exit(kWaitMs);
        GTEST_SKIP() << "request 8 is not handled by this build";
    }
    // The selection made by -d was not logged: the threshold was still 2.
    ASSERT_TRUE(daemon.wait_for_output("keying device used", kWaitMs, 1));
    const int before = harness::open_descriptors(daemon.pid());
    ASSERT_GT(before, 0);

    // Ends on the serial port; each port is also re-selected while in use.
    const char* const kTexts[] = {kParallel,      kParallel, "null", kSerial,
                                  "nothing_here", kSerial,   kSerial};
    constexpr size_t kSelections = 1000;
    constexpr size_t kBatch = 50;  // stays well inside the socket's receive buffer
    size_t sent = 0;
    while (sent < kSelections) {
        for (size_t i = 0; i < kBatch; ++i, ++sent) {
            ASSERT_TRUE(client.send(std::string("\x1b") + "8" + kTexts[sent % std::size(kTexts)],
                                    daemon.port()));
        }
        ASSERT_TRUE(daemon.wait_for_output("keying device used", kWaitMs, 1 + sent));
    }
    EXPECT_EQ(harness::open_descriptors(daemon.pid()), before);
    EXPECT_EQ(daemon.count_output("you must run"), 0u);

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
    // The last selection was the serial port: released at exit, all closed.
    const auto serial = port_events(daemon, "serial");
    ASSERT_FALSE(serial.empty());
    EXPECT_EQ(serial.back().request, "CLOSE");
    EXPECT_EQ(serial.back().state, 0u);
}

// Key on RTS, PTT on DTR, both active low: the text reads back from RTS
// with libcw's timing, PTT is on whenever the key is down, and the lines
// rest asserted after start-up, a switch away and back, and SIGTERM; the
// port keeps them asserted once closed.
TEST(Devices, SwappedInvertedLinesKeyOnRtsAndRestAssertedThroughSwitchAndExit) {
    using simport::kDtr;
    using simport::kRts;
    constexpr unsigned kRest = kDtr | kRts;
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-o", "key=rts", "-o", "ptt=dtr", "-o", "invert=key,ptt",
                                         "-d", kSerial, "-s", "40", "-t", "20"},
                                        port_env(daemon.dir()), true));
    auto serial = port_events(daemon, "serial");
    ASSERT_EQ(names(serial),
              (Names{"OPEN", "TIOCMGET", "TIOCMBIS", "TIOCMBIS", "TCGETS", "TCSETS"}));
    EXPECT_EQ(serial[2].value, kRts);  // key first
    EXPECT_EQ(serial[3].value, kDtr);
    EXPECT_EQ(serial.back().state, kRest);

    Client client;
    ASSERT_TRUE(client.send("TEST", daemon.port()));
    const auto key_line = [&] {
        return simport::line_timeline(port_events(daemon, "serial"), "serial", kRts, true);
    };
    ASSERT_TRUE(wait_until([&] {
        return key_line().size() >= 2 * morse_decoder::marks_of("TEST") + 1 &&
               port_events(daemon, "serial").back().state == kRest;
    }));
    const auto decoded =
        morse_decoder::check_keyed(morse_decoder::key_intervals(key_line()), "TEST", 40);
    EXPECT_EQ(decoded.text, "TEST");
    EXPECT_TRUE(decoded.mistimed.empty()) << morse_decoder::joined(decoded.mistimed);
    serial = port_events(daemon, "serial");
    for (size_t i = 6; i < serial.size(); ++i) {
        const bool key_down = (serial[i].state & kRts) == 0;
        const bool ptt_on = (serial[i].state & kDtr) == 0;
        EXPECT_FALSE(key_down && !ptt_on) << i << " " << serial[i].request;
        EXPECT_NE(serial[i].request, "TIOCMSET");
    }

    ASSERT_TRUE(
        client.send("\x1b"
                    "8null",
                    daemon.port()));
    ASSERT_TRUE(
        wait_until([&] { return port_events(daemon, "serial").back().request == "CLOSE"; }));
    EXPECT_EQ(port_events(daemon, "serial").back().state, kRest);
    ASSERT_TRUE(client.send(std::string("\x1b"
                                        "8") +
                                kSerial,
                            daemon.port()));
    ASSERT_TRUE(daemon.wait_for_output("keying device used: \"" + std::string(kSerial), kWaitMs));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
    serial = port_events(daemon, "serial");
    EXPECT_EQ(names(serial, serial.size() - 3), (Names{"TIOCMBIS", "TIOCMBIS", "CLOSE"}));
    EXPECT_EQ(serial.back().state, kRest);
}

// Appends what the pipe holds now to text, waiting up to timeout_ms for
// the first bytes. False at the pipe's end, and when nothing came and
// give_up_on_silence is set.
bool read_pipe(int fd, std::string& text, int timeout_ms, bool give_up_on_silence = false) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1) {
        return !give_up_on_silence;
    }
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) {
        return false;
    }
    text.append(chunk, static_cast<size_t>(got));
    return true;
}

bool read_pipe_until(int fd, std::string& text, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (!read_pipe(fd, text, 5)) {
            break;
        }
    }
    return done();
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Standard output is a pipe that nobody reads any more (a terminal stopped
// with Ctrl-S, a stalled journal): the main thread may wait on it, the key
// line must not. The text already queued is keyed whole and ends with the
// key up; once the output is read again every line comes out, in order,
// and the daemon ends as asked.
TEST(Devices, TextIsKeyedWholeWhileTheLogOutputIsNotRead) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const int port = harness::free_udp_port();
    Daemon daemon;
    daemon.output_to(out[1]);
    ASSERT_TRUE(daemon.start(
        {"-n", "-x", "n", "-y", "d", "-p", std::to_string(port), "-s", "40", "-d", kSerial},
        port_env(daemon.dir()), true));
    close(out[1]);
    std::string output;
    ASSERT_TRUE(read_pipe_until(
        out[0], output, [&] { return output.find("starting generator") != std::string::npos; }));

    const std::string text = "TEST TEST TEST";
    Client client;
    ASSERT_TRUE(client.send(text, port));
    ASSERT_TRUE(read_pipe_until(out[0], output, [&] {
        return occurrences(output, "has been queued in libcw") == text.size();
    }));
    // From here on every write to standard output waits.
    const int filler = open(("/proc/self/fd/" + std::to_string(out[0])).c_str(),
                            O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(filler, -1);
    const std::string page(4096, '.');
    while (write(filler, page.data(), page.size()) > 0) {
    }
    while (write(filler, ".", 1) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    close(filler);

    const size_t edges = 2 * morse_decoder::marks_of(text);
    const auto key_line = [&] {
        return simport::line_timeline(port_events(daemon, "serial"), "serial", simport::kDtr);
    };
    // The open raised DTR and init cleared it: two levels before the text.
    const bool keyed_whole = wait_until([&] { return key_line().size() >= edges + 2; });
    EXPECT_TRUE(keyed_whole) << key_line().size() - 2 << " of " << edges << " key edges";
    EXPECT_FALSE(key_line().back().on);

    // The output is read again.
    std::string rest;
    std::thread reader([&] {
        while (read_pipe(out[0], rest, kWaitMs, true)) {
        }
    });
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
    reader.join();
    close(out[0]);
    output += rest;
    EXPECT_EQ(occurrences(output, "keying event"), edges);
    EXPECT_GT(output.find("varkel: Exiting"), output.rfind("keying event"));
}

// With PTT on no line the other line is cleared at init and never touched
// again; the key keeps DTR. The option counts from the start, also when it
// follows -d.
TEST(Devices, PttOnNoLineLeavesRtsAloneAfterInit) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-d", kSerial, "-o", "ptt=none", "-t", "20"},
                                        port_env(daemon.dir()), true));
    Client client;
    ASSERT_TRUE(client.send("ee", daemon.port()));
    const auto dtr_edges = [&] {
        return simport::line_timeline(port_events(daemon, "serial"), "serial", simport::kDtr);
    };
    EXPECT_TRUE(wait_until([&] { return dtr_edges().size() >= 6; }));
    ASSERT_TRUE(
        client.send("\x1b"
                    "5",
                    daemon.port()));
    EXPECT_EQ(daemon.wait_exit(kWaitMs), 0);
    // One request on RTS, at init: the -o after -d was in force when the
    // port was opened.
    bool keying = false;
    size_t rts_requests = 0;
    for (const Event& event : port_events(daemon, "serial")) {
        keying = keying || (event.request == "TIOCMBIS" && event.value == simport::kDtr);
        if (event.request.rfind("TIOCM", 0) == 0 && event.value == simport::kRts) {
            ++rts_requests;
            EXPECT_FALSE(keying);
            EXPECT_EQ(event.state & simport::kRts, 0u);
        }
    }
    EXPECT_EQ(rts_requests, 1u);
    EXPECT_TRUE(keying);
    EXPECT_EQ(port_events(daemon, "serial").back().request, "CLOSE");
    EXPECT_FALSE(dtr_edges().back().on);
}

// A signal that ends the daemon in a tune (key down, PTT up) leaves key and
// PTT at rest on either kind of port: SIGTERM and SIGHUP through the
// clean-up with status 0, a crash from its handler with the crash's status.
struct EndingSignal {
    const char* port;
    int sig;
};

void PrintTo(const EndingSignal& param, std::ostream* out) {
    *out << param.port << " " << strsignal(param.sig);
}

class SignalInATune : public ::testing::TestWithParam<EndingSignal> {};

TEST_P(SignalInATune, LeavesKeyAndPttAtRest) {
    const EndingSignal param = GetParam();
    const bool serial = std::string(param.port) == "serial";
    Daemon daemon;
    // The foot switch held down keeps the parallel port's PTT up in the tune.
    harness::Env extra = {{"SIMPORT_STATUS", "0x77"}};
    if (param.sig == SIGSEGV) {
        // A sanitizer would take the crash over and report it as a fault of
        // ours: the process is to die of the signal as it would unwatched.
        for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
            const char* inherited = getenv(name);
            extra.emplace_back(
                name, std::string(inherited == nullptr ? "" : inherited) + ":handle_segv=0");
        }
    }
    ASSERT_TRUE(
        daemon.start_foreground({"-d", serial ? kSerial : kParallel, "-s", "12", "-t", "20"},
                                port_env(daemon.dir(), extra), true));
    const auto key_down = [&](unsigned state) {
        return serial ? (state & simport::kDtr) != 0 : (state & simport::kControlKey) == 0;
    };
    const auto ptt_on = [&](unsigned state) {
        return serial ? (state & simport::kRts) != 0 : (state & simport::kControlPtt) != 0;
    };
    const auto last_state = [&] {
        const auto events = port_events(daemon, param.port);
        return events.empty() ? 0u : events.back().state;
    };
    Client client;
    ASSERT_TRUE(
        client.send("\x1b"
                    "c10",
                    daemon.port()));
    ASSERT_TRUE(wait_until([&] { return key_down(last_state()) && ptt_on(last_state()); }));
    const size_t before = port_events(daemon, param.port).size();

    daemon.signal(param.sig);
    const int status = daemon.wait_exit(kWaitMs);
    if (param.sig == SIGSEGV) {
        EXPECT_EQ(status, 128 + SIGSEGV);
    } else {
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(daemon.wait_for_output("varkel: Exiting\n", 0));
    }
    const auto events = port_events(daemon, param.port);
    ASSERT_GT(events.size(), before);
    // Key up first, then PTT off: never PTT off under a keyed line. A crash
    // leaves no close in the log; the kernel closes the port.
    for (size_t i = before; i < events.size(); ++i) {
        EXPECT_FALSE(key_down(events[i].state) && !ptt_on(events[i].state))
            << i << " " << events[i].request;
    }
    const Event& last = events.back();
    EXPECT_FALSE(key_down(last.state));
    EXPECT_FALSE(ptt_on(last.state));
    EXPECT_EQ(last.request, param.sig == SIGSEGV ? (serial ? "TIOCMBIC" : "PPWCONTROL") : "CLOSE");
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SignalInATune,
    ::testing::Values(EndingSignal{"serial", SIGTERM}, EndingSignal{"serial", SIGHUP},
                      EndingSignal{"serial", SIGSEGV}, EndingSignal{"parallel", SIGTERM},
                      EndingSignal{"parallel", SIGHUP}, EndingSignal{"parallel", SIGSEGV}),
    [](const auto& info) {
        return std::string(info.param.port) + "_" +
               (info.param.sig == SIGTERM  ? "SIGTERM"
                : info.param.sig == SIGHUP ? "SIGHUP"
                                           : "SIGSEGV");
    });

}  // namespace
