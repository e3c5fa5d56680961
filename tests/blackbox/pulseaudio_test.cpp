// Morse with a sound server: the daemon plays its sidetone on a PulseAudio
// server of the test's own with a null sink, whose monitor is recorded and
// read back as a tone that goes on and off, while the key line of a
// simulated serial port keeps libcw's exact timing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"
#include "blackbox/morse_decoder.h"
#include "blackbox/simport_log.h"

namespace {

using harness::Client;
using harness::Daemon;

constexpr int kSampleRate = 22050;
constexpr int kWindowSamples = kSampleRate / 100;  // 10 ms
constexpr double kWindowMs = 10.0;
constexpr int kToneHz = 800;
constexpr int kWpm = 20;
// Sound servers buffer and libcw shapes the tone's edges: durations are
// checked loosely.
constexpr double kTolerance = 0.3;

bool on_path(const std::string& program) {
    const char* path = getenv("PATH");
    std::string dirs = path == nullptr ? "/usr/bin:/bin" : path;
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Runs a program with the environment added and standard output to a file.
pid_t spawn(const std::vector<std::string>& args, const harness::Env& env,
            const std::string& out_path) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(null_fd, 2);
    for (const auto& [name, value] : env) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

void stop(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

// The power of the tone frequency in each 10 ms window (Goertzel).
std::vector<double> tone_power(const std::string& raw, int frequency) {
    const size_t samples = raw.size() / 2;
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / kSampleRate);
    std::vector<double> powers;
    for (size_t start = 0; start + kWindowSamples <= samples; start += kWindowSamples) {
        double previous = 0;
        double before = 0;
        for (size_t i = start; i < start + kWindowSamples; ++i) {
            const auto low = static_cast<unsigned char>(raw[2 * i]);
            const auto high = static_cast<unsigned char>(raw[2 * i + 1]);
            const double sample = static_cast<int16_t>(low | (high << 8));
            const double current = sample + coefficient * previous - before;
            before = previous;
            previous = current;
        }
        powers.push_back(previous * previous + before * before - coefficient * previous * before);
    }
    return powers;
}

struct ToneRun {
    bool on;
    double ms;
};

// Runs of windows with and without the tone, from the first window with it.
std::vector<ToneRun> tone_runs(const std::vector<double>& powers) {
    double peak = 0;
    for (const double power : powers) {
        peak = std::max(peak, power);
    }
    std::vector<ToneRun> runs;
    for (const double power : powers) {
        const bool on = power > peak * 0.1;
        if (runs.empty() && !on) {
            continue;
        }
        if (runs.empty() || runs.back().on != on) {
            runs.push_back({on, 0});
        }
        runs.back().ms += kWindowMs;
    }
    return runs;
}

// A sound server that runs short of samples for a moment (a busy machine, a
// sanitized daemon) leaves a hole of a window or two inside an element; no
// gap that Morse makes is shorter than one unit.
std::vector<ToneRun> bridge_dropouts(const std::vector<ToneRun>& runs, double max_hole_ms) {
    std::vector<ToneRun> bridged;
    for (size_t i = 0; i < runs.size(); ++i) {
        const bool hole = !runs[i].on && i > 0 && i + 1 < runs.size() && runs[i].ms <= max_hole_ms;
        if (hole || (runs[i].on && !bridged.empty() && bridged.back().on)) {
            bridged.back().ms += runs[i].ms;
            continue;
        }
        bridged.push_back(runs[i]);
    }
    return bridged;
}

class PulseAudioServer {
  public:
    // The sink "null", the default, and any more sinks named.
    explicit PulseAudioServer(const std::string& dir, const std::vector<std::string>& sinks = {})
        : dir_(dir) {
        std::filesystem::create_directories(dir + "/run");
        chmod((dir + "/run").c_str(), 0700);
        env_ = {{"HOME", dir}, {"XDG_RUNTIME_DIR", dir + "/run"}};
        std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1",
                                         "-n", "--load=module-null-sink"};
        for (const std::string& sink : sinks) {
            args.push_back("--load=module-null-sink sink_name=" + sink);
        }
        args.push_back("--load=module-native-protocol-unix");
        pid_ = spawn(args, env_, dir + "/pulseaudio.out");
    }
    ~PulseAudioServer() { stop(pid_); }
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    bool wait_ready() const {
        const std::string socket = dir_ + "/run/pulse/native";
        for (int i = 0; i < 500; ++i) {
            if (access(socket.c_str(), F_OK) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const harness::Env& env() const { return env_; }

  private:
    std::string dir_;
    harness::Env env_;
    pid_t pid_ = -1;
};

// What the server has played so far, as tone runs; holes shorter than
// half the unit are the server's, not the Morse's.
std::vector<ToneRun> heard(const std::string& recording, double unit) {
    return bridge_dropouts(tone_runs(tone_power(harness::read_file(recording), kToneHz)), unit / 2);
}

// Right after a reset recreates the generators, and right after a switch
// to the sound server, the key line keeps libcw's timing at 60 wpm, while
// the server only plays the sidetone, late by its latency.
TEST(PulseAudio, KeyLineKeepsItsTimingAndTheSidetoneIsHeard) {
    if (!on_path("pulseaudio") || !on_path("parec")) {
        GTEST_SKIP() << "pulseaudio and parec are not installed";
    }
#ifdef VARKEL_UNDER_TSAN
    // libpulse's own threads are not instrumented; the sanitizer's reports
    // about them say nothing about the daemon. The daemon's threads are
    // covered by the stress and soak tests.
    GTEST_SKIP() << "PulseAudio is not checked under ThreadSanitizer";
#endif
    constexpr const char* kPort = "ttyUSB_pulse0";
    const std::string dir = harness::make_temp_dir();
    {
        PulseAudioServer server(dir);
        ASSERT_TRUE(server.wait_ready());
        Daemon daemon;
        const std::string port_log = daemon.dir() + "/simport.log";
        harness::Env env = server.env();
        env.insert(env.end(), {{"SIMPORT_SERIAL", kPort}, {"SIMPORT_LOG", port_log}});
        ASSERT_TRUE(daemon.start_foreground(
            {"-x", "p", "-s", "60", "-T", std::to_string(kToneHz), "-d", kPort}, env, true));
        EXPECT_NE(daemon.out().find("starting generator with sound system \"PulseAudio\": success"),
                  std::string::npos);
        const std::string recording = dir + "/monitor.raw";
        const pid_t recorder = spawn({"parec", "-d", "null.monitor", "--raw", "--format=s16le",
                                      "--rate=" + std::to_string(kSampleRate), "--channels=1"},
                                     server.env(), recording);
        Client client;
        size_t texts = 0;
        auto expect_paris_keyed = [&](const char* after) {
            ASSERT_TRUE(client.send("PARIS", daemon.port()));
            ++texts;
            ASSERT_TRUE(daemon.wait_for_output("keying event \"0\"", 10000, 14 * texts));
            const auto dtr =
                simport::line_timeline(simport::read_log(port_log), "serial", simport::kDtr);
            // This text's 14 marks: its last 28 edges and the one before.
            ASSERT_GE(dtr.size(), 29u);
            const std::vector<simport::Edge> text(dtr.end() - 29, dtr.end());
            const auto decoded =
                morse_decoder::check_keyed(morse_decoder::key_intervals(text), "PARIS", 60);
            EXPECT_EQ(decoded.text, "PARIS") << after;
            EXPECT_TRUE(decoded.mistimed.empty())
                << after << morse_decoder::joined(decoded.mistimed);
            // As on null audio: a busy machine may stall libcw's thread on the
            // test's own logs now and then; the bench measures the spread.
            EXPECT_LE(decoded.stretched.size(), 3u)
                << after << morse_decoder::joined(decoded.stretched);
        };
        ASSERT_TRUE(
            client.send("\x1b"
                        "0",
                        daemon.port()));
        expect_paris_keyed("after a reset: ");
        ASSERT_TRUE(
            client.send("\x1b"
                        "fp",
                        daemon.port()));
        expect_paris_keyed("after a switch to PulseAudio: ");

        // Then T and E at 20 wpm, whose dash is longer than any element of
        // PARIS at 60 wpm, so the sidetone's runs can be told apart.
        ASSERT_TRUE(
            client.send("\x1b"
                        "220",
                        daemon.port()));
        ASSERT_TRUE(client.send("TE", daemon.port()));
        const double unit = 1200.0 / kWpm;
        auto dash_of_t = [&](const std::vector<ToneRun>& runs) {
            size_t dash = runs.size();
            for (size_t i = 0; i < runs.size(); ++i) {
                if (runs[i].on && runs[i].ms >= 2 * unit) {
                    dash = i;
                }
            }
            return dash;
        };
        for (int waited = 0; waited < 8000; waited += 50) {
            const auto so_far = heard(recording, unit / 3);
            const size_t dash = dash_of_t(so_far);
            if (dash + 3 < so_far.size() && so_far.back().ms > 4 * unit) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop(recorder);
        daemon.signal(SIGINT);
        EXPECT_EQ(daemon.wait_exit(10000), 0);

        // Both PARIS were heard: 28 marks, give or take what a busy sound
        // server splits or merges.
        const std::vector<ToneRun> runs = heard(recording, unit / 3);
        const size_t dash = dash_of_t(runs);
        ASSERT_LT(dash + 3, runs.size());
        const auto paris_marks = std::count_if(runs.begin(), runs.begin() + static_cast<long>(dash),
                                               [](const ToneRun& run) { return run.on; });
        EXPECT_GE(paris_marks, 14);
        EXPECT_LE(paris_marks, 40);
        // The element lengths are exact on the keyed line; what reaches the
        // sound server is stretched when the machine is busy (a sanitized
        // daemon beside other tests), so only the envelope is held here.
        EXPECT_NEAR(runs[dash].ms, 3 * unit, 3 * unit * kTolerance);
        EXPECT_GE(runs[dash + 1].ms, 2 * unit);
        EXPECT_LE(runs[dash + 1].ms, 8 * unit);
        EXPECT_GE(runs[dash + 2].ms, unit / 2);
        EXPECT_LE(runs[dash + 2].ms, 2 * unit);
        EXPECT_GE(runs[dash].ms / runs[dash + 2].ms, 1.5);  // a dash, then a dot

        // The sound is the tone: an octave above there is next to nothing.
        const auto tone = tone_power(harness::read_file(recording), kToneHz);
        const auto octave = tone_power(harness::read_file(recording), 2 * kToneHz);
        double tone_sum = 0;
        double octave_sum = 0;
        for (size_t i = 0; i < tone.size(); ++i) {
            tone_sum += tone[i];
            octave_sum += octave[i];
        }
        EXPECT_GT(tone_sum, 100 * octave_sum);
    }
    std::filesystem::remove_all(dir);
}

// The sink each of the server's streams plays on, by name, from pactl.
std::vector<std::string> stream_sinks(const PulseAudioServer& server, const std::string& dir) {
    auto listed = [&](const char* what) {
        const std::string out = dir + "/pactl.out";
        const pid_t pid = spawn({"pactl", "list", "short", what}, server.env(), out);
        waitpid(pid, nullptr, 0);
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : harness::split_lines(harness::read_file(out))) {
            std::vector<std::string> fields;
            size_t start = 0;
            for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
                fields.push_back(line.substr(start, tab - start));
            }
            fields.push_back(line.substr(start));
            rows.push_back(fields);
        }
        return rows;
    };
    std::vector<std::string> names;
    const auto sinks = listed("sinks");                // index, name, ...
    for (const auto& input : listed("sink-inputs")) {  // index, sink index, ...
        for (const auto& sink : sinks) {
            if (input.size() > 1 && sink.size() > 1 && sink[0] == input[1]) {
                names.push_back(sink[1]);
            }
        }
    }
    return names;
}

// With two sinks, the sidetone plays on the one named with -o, and on the
// server's default without it; a request for the same system keeps the
// name, and a name the server does not know ends start-up with the name in
// the log, as any sound system that cannot be opened does.
TEST(PulseAudio, SidetonePlaysOnTheNamedSinkOrElseOnTheDefault) {
    if (!on_path("pulseaudio") || !on_path("pactl")) {
        GTEST_SKIP() << "pulseaudio and pactl are not installed";
    }
#ifdef VARKEL_UNDER_TSAN
    GTEST_SKIP() << "PulseAudio is not checked under ThreadSanitizer";
#endif
    const std::string dir = harness::make_temp_dir();
    {
        PulseAudioServer server(dir, {"desk"});
        ASSERT_TRUE(server.wait_ready());
        auto wait_for_sinks = [&](const std::vector<std::string>& expected) {
            for (int i = 0; i < 100 && stream_sinks(server, dir) != expected; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return stream_sinks(server, dir);
        };
        {
            Daemon daemon;
            ASSERT_TRUE(
                daemon.start_foreground({"-x", "p", "-o", "sound-device=desk"}, server.env()));
            EXPECT_EQ(wait_for_sinks({"desk"}), std::vector<std::string>{"desk"});
            Client client;
            ASSERT_TRUE(
                client.send("\x1b"
                            "fp",
                            daemon.port()));
            ASSERT_TRUE(daemon.wait_for_output("starting generator with sound system", 10000, 2));
            EXPECT_EQ(wait_for_sinks({"desk"}), std::vector<std::string>{"desk"});
            EXPECT_EQ(daemon.out().find("plays on its default device"), std::string::npos);
            daemon.signal(SIGINT);
            EXPECT_EQ(daemon.wait_exit(10000), 0);
        }
        {
            Daemon daemon;
            ASSERT_TRUE(daemon.start_foreground({"-x", "p"}, server.env()));
            EXPECT_EQ(wait_for_sinks({"null"}), std::vector<std::string>{"null"});
            daemon.signal(SIGINT);
            EXPECT_EQ(daemon.wait_exit(10000), 0);
        }
        harness::Env env = server.env();
        const harness::RunResult unknown =
            harness::run_to_exit({"-n", "-x", "p", "-o", "sound-device=nosuch", "-p",
                                  std::to_string(harness::free_udp_port())},
                                 10000, env);
        EXPECT_EQ(unknown.status, 1);
        EXPECT_NE(unknown.out.find("varkel:EE: failed to create generator with sound system "
                                   "\"PulseAudio\"\nvarkel:WW: sound device \"nosuch\" cannot be "
                                   "opened on sound system \"PulseAudio\"\n"),
                  std::string::npos)
            << unknown.out;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
