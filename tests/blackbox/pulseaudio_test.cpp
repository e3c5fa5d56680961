// Morse as sound: the daemon plays on a PulseAudio server of the test's own
// with a null sink, whose monitor is recorded and read back as a tone that
// goes on and off.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"

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
    explicit PulseAudioServer(const std::string& dir) : dir_(dir) {
        std::filesystem::create_directories(dir + "/run");
        chmod((dir + "/run").c_str(), 0700);
        env_ = {{"HOME", dir}, {"XDG_RUNTIME_DIR", dir + "/run"}};
        pid_ = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                      "--load=module-null-sink", "--load=module-native-protocol-unix"},
                     env_, dir + "/pulseaudio.out");
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

TEST(PulseAudio, MorseIsHeardAsTheToneGoingOnAndOff) {
    if (!on_path("pulseaudio") || !on_path("parec")) {
        GTEST_SKIP() << "pulseaudio and parec are not installed";
    }
#ifdef VARKEL_UNDER_TSAN
    // libpulse's own threads are not instrumented; the sanitizer's reports
    // about them say nothing about the daemon. The daemon's threads are
    // covered by the stress and soak tests.
    GTEST_SKIP() << "PulseAudio is not checked under ThreadSanitizer";
#endif
    const std::string dir = harness::make_temp_dir();
    {
        PulseAudioServer server(dir);
        ASSERT_TRUE(server.wait_ready());
        const std::string recording = dir + "/monitor.raw";
        const pid_t recorder = spawn({"parec", "-d", "null.monitor", "--raw", "--format=s16le",
                                      "--rate=" + std::to_string(kSampleRate), "--channels=1"},
                                     server.env(), recording);

        Daemon daemon;
        ASSERT_TRUE(daemon.start_foreground(
            {"-x", "p", "-s", std::to_string(kWpm), "-T", std::to_string(kToneHz)}, server.env()));
        EXPECT_NE(daemon.out().find("starting generator with sound system \"PulseAudio\": success"),
                  std::string::npos);
        Client client;
        ASSERT_TRUE(client.send("TE", daemon.port()));
        ASSERT_TRUE(daemon.wait_for_output("keying event \"0\"", 5000, 2));
        // Let the sound server play out what it buffered.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stop(recorder);
        daemon.signal(SIGINT);
        EXPECT_EQ(daemon.wait_exit(10000), 0);

        const double unit = 1200.0 / kWpm;
        const std::vector<ToneRun> runs = bridge_dropouts(
            tone_runs(tone_power(harness::read_file(recording), kToneHz)), unit / 2);
        // T: a dash, the gap between characters, E: a dot, then silence.
        // The element lengths are exact on the keyed line; what reaches the
        // sound server is stretched when the machine is busy (a sanitized
        // daemon beside other tests), so only the envelope is held here.
        ASSERT_GE(runs.size(), 3u);
        EXPECT_TRUE(runs[0].on);
        EXPECT_NEAR(runs[0].ms, 3 * unit, 3 * unit * kTolerance);
        EXPECT_GE(runs[1].ms, 2 * unit);
        EXPECT_LE(runs[1].ms, 8 * unit);
        EXPECT_GE(runs[2].ms, unit / 2);
        EXPECT_LE(runs[2].ms, 2 * unit);
        EXPECT_GE(runs[0].ms / runs[2].ms, 1.5);  // a dash, then a dot
        EXPECT_LE(runs.size(), 4u);

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

}  // namespace
