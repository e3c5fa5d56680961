#include "sound_servers.h"

#include <signal.h>
#include <sys/stat.h>

#include <sstream>

#include "bench_process.h"

namespace bench {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kCommandTimeoutMs = 5000;
constexpr int kPollMs = 100;

// Starts one process of the server; false, with the reason, when it could
// not be started or ended at once.
bool add_process(SoundServer& server, const std::vector<std::string>& args, const Environment& env,
                 const std::string& output) {
    const pid_t pid = spawn(args, env, output);
    if (pid == -1) {
        server.why_not = args[0] + " could not be started";
        return false;
    }
    server.processes.emplace_back(pid, args[0]);
    return true;
}

bool still_running(SoundServer& server, const std::string& output) {
    const auto& [pid, name] = server.processes.back();
    if (!wait_for_exit(pid, 0)) {
        return true;
    }
    server.why_not = name + " ended: " + last_line(read_file(output));
    server.processes.pop_back();
    return false;
}

// Waits for a file (a socket) that the last process started makes.
bool await_file(SoundServer& server, const std::string& path, const std::string& output) {
    for (int waited = 0; waited < kStartTimeoutMs; waited += kPollMs) {
        if (file_size(path) >= 0) {
            return true;
        }
        if (!still_running(server, output)) {
            return false;
        }
        sleep_ms(kPollMs);
    }
    server.why_not = server.processes.back().second + " made no " + path;
    return false;
}

// Runs pactl against the server until it succeeds or time runs out.
bool pactl(SoundServer& server, const std::vector<std::string>& arguments, const std::string& dir) {
    std::vector<std::string> args = {"pactl"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    const Environment env = {{"PULSE_SERVER", server.pulse_server}, {"HOME", dir}};
    const std::string output = dir + "/pactl.out";
    for (int waited = 0; waited < kStartTimeoutMs; waited += kPollMs) {
        if (run_command(args, env, output, kCommandTimeoutMs)) {
            return true;
        }
        sleep_ms(kPollMs);
    }
    server.why_not = "pactl " + arguments[0] + ": " + last_line(read_file(output));
    return false;
}

// A fresh record, and a directory of its own, for a server whose
// PulseAudio socket will be at socket.
bool prepare(SoundServer& server, const char* name, const std::string& dir,
             const std::string& socket) {
    server = SoundServer{};
    server.name = name;
    server.pulse_server = "unix:" + socket;
    if (mkdir(dir.c_str(), 0755) == -1) {
        server.why_not = "cannot make " + dir;
        return false;
    }
    return true;
}

bool failed(SoundServer& server) {
    stop_sound_server(server);
    return false;
}

}  // namespace

bool start_pulseaudio(const std::string& dir, SoundServer& server) {
    const std::string socket = dir + "/native";
    if (!prepare(server, "PulseAudio", dir, socket)) {
        return false;
    }
    // Its own home and runtime directory: nothing shared with a server that
    // someone else runs here. The socket lets in any local user.
    const Environment env = {{"HOME", dir},
                             {"XDG_RUNTIME_DIR", dir},
                             {"PULSE_RUNTIME_PATH", dir + "/runtime"},
                             {"PULSE_STATE_PATH", dir + "/state"}};
    const std::string output = dir + "/pulseaudio.out";
    const std::vector<std::string> args = {
        "pulseaudio",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "-n",
        "--use-pid-file=no",
        "--log-target=stderr",
        "--load=module-null-sink sink_name=null",
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket};
    if (!add_process(server, args, env, output) || !await_file(server, socket, output) ||
        !pactl(server, {"info"}, dir)) {
        return failed(server);
    }
    return true;
}

bool start_pipewire(const std::string& dir, SoundServer& server) {
    const std::string socket = dir + "/pulse/native";
    if (!prepare(server, "PipeWire", dir, socket)) {
        return false;
    }
    Environment env = {{"HOME", dir}, {"XDG_RUNTIME_DIR", dir}};

    // Without a session bus and a session manager, pipewire-pulse accepts
    // a stream that never plays and libcw waits for it for ever.
    const std::string bus_output = dir + "/dbus.out";
    if (!add_process(server,
                     {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + dir + "/bus",
                      "--print-address=1"},
                     env, bus_output)) {
        return failed(server);
    }
    std::string address;
    for (int waited = 0; waited < kStartTimeoutMs; waited += kPollMs) {
        std::istringstream lines(read_file(bus_output));
        for (std::string line; address.empty() && std::getline(lines, line);) {
            if (line.rfind("unix:", 0) == 0 && !lines.eof()) {
                address = line;  // whole: a newline followed it
            }
        }
        if (!address.empty()) {
            break;
        }
        if (!still_running(server, bus_output)) {
            return failed(server);
        }
        sleep_ms(kPollMs);
    }
    if (address.empty()) {
        server.why_not = "dbus-daemon printed no address";
        return failed(server);
    }
    env.emplace_back("DBUS_SESSION_BUS_ADDRESS", address);

    const std::string pipewire_output = dir + "/pipewire.out";
    const std::string pulse_output = dir + "/pipewire-pulse.out";
    if (!add_process(server, {"pipewire"}, env, pipewire_output) ||
        !await_file(server, dir + "/pipewire-0", pipewire_output) ||
        !add_process(server, {"wireplumber"}, env, dir + "/wireplumber.out") ||
        !add_process(server, {"pipewire-pulse"}, env, pulse_output) ||
        !await_file(server, socket, pulse_output)) {
        return failed(server);
    }
    // pipewire-pulse keeps its socket's directory to its own user.
    chmod((dir + "/pulse").c_str(), 0755);
    if (!pactl(server, {"load-module", "module-null-sink", "sink_name=null"}, dir) ||
        !pactl(server, {"set-default-sink", "null"}, dir)) {
        return failed(server);
    }
    return true;
}

void stop_sound_server(SoundServer& server) {
    while (!server.processes.empty()) {
        const auto& [pid, name] = server.processes.back();
        end_child(pid, SIGTERM, kStopTimeoutMs, name.c_str());
        server.processes.pop_back();
    }
}

}  // namespace bench
