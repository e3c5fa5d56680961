#include "station.h"

#include <dirent.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench_analysis.h"
#include "bench_process.h"
#include "sound_servers.h"

namespace bench {

namespace {

constexpr int kWpm = 60;
constexpr char kText[] = "PARIS PARIS";
constexpr char kResetRequest[] =
    "\x1b"
    "0";
// "PARIS PARIS" is 93 dots with its word space: keying cannot end sooner.
constexpr double kTextDots = 93;
constexpr int64_t kAfterResetNs = 300'000'000;
// "PARIS PARIS" has 28 marks. Once that many have been keyed and the key
// has stayed up a little longer than a word space, the text has ended;
// short of that, the rest may still come after a stall of the generator
// thread, so the key must stay up much longer before the bench moves on.
constexpr int kTextMarks = 28;
constexpr int64_t kQuietNs = 250'000'000;
constexpr int64_t kStalledQuietNs = 1'000'000'000;
// Nothing keyed this long after the text's length: the text was lost.
constexpr int64_t kNothingKeyedNs = 3'000'000'000;
// The longest a text may take beyond its length before the bench moves on.
constexpr int64_t kTextSlackNs = 8'000'000'000;
// The second program gets its datagram half a dot after the first, so
// their generator threads do not wake at the same instant.
constexpr int64_t kStaggerNs = 10'000'000;
constexpr int kPollMs = 20;
// Past the first second of a new generator, when a sound server may hold
// the first element: that second is what the texts after a reset measure.
constexpr int kSettleMs = 1000;
constexpr int kLoadSettleMs = 1000;
constexpr int kLoadStopMs = 5000;
constexpr int kFloorPriority = 20;
// The probe beside each row wakes at the key line's priority where real
// time is granted.
constexpr int kProbePriority = 20;
// The bench itself: below the programs, above the load, so that a send is
// timestamped when it goes out.
constexpr int kBenchPriority = 10;
constexpr double kQuietDots = 3;
constexpr double kNsPerMs = 1e6;

constexpr int kDefaultTexts = 20;
constexpr int kDefaultResets = 3;
constexpr char kBenchUser[] = "varkel-bench";

// Targets for varkel, from this 2-core machine.
constexpr double kNullLatencyP50Ms = 0.155;
constexpr double kSidetoneElementP99Ms = 0.5;
constexpr double kSidetoneElementMaxMs = 1.0;
constexpr double kLoadLatencyP99Ms = 1.0;
// With real time granted the key line keeps one timeline: its elements
// are their ideal length on the whole, idle or loaded, on any sound system.
constexpr double kGrantedMeanDeviation = 0.0005;
constexpr double kGrantedElementP50Ms = 0.03;
constexpr double kGrantedElementP99Ms = 0.15;

struct Sound {
    char key;          // as --sound names it
    const char* name;  // in the table
    char letter;       // the programs' sound system: -x n or -x p
    bool (*start_server)(const std::string& dir, SoundServer& server);
};
constexpr Sound kSounds[] = {{'n', "null", 'n', nullptr},
                             {'p', "PulseAudio", 'p', start_pulseaudio},
                             {'w', "PipeWire", 'p', start_pipewire}};

struct Options {
    int texts = kDefaultTexts;
    int resets = kDefaultResets;
    std::string sounds = "npw";
    bool keep = false;
};

struct Condition {
    const Sound* sound = nullptr;
    bool loaded = false;
    bool granted = false;
};

// What one program did in one row.
struct Figures {
    std::vector<double> latency_ms;
    std::vector<Element> elements;
    int texts = 0;
    int wrong = 0;
    std::vector<Element> reset_elements;
    int reset_texts = 0;
    int reset_wrong = 0;
    std::vector<std::string> misreadings;
    std::string fifo_threads;  // "k/n" of its threads at SCHED_FIFO
    LateElements late;         // over all its texts, those after a reset too
    double shortest_ms = 0;    // the most an element was keyed short, matched to the text
};

struct Row {
    Condition condition;
    std::string why_not;  // empty when it ran
    PlatformLog platform;
    std::array<Figures, kSubjects> figures;
};

// Where and as whom the programs of a row run.
struct Setting {
    std::string dir;
    std::string pulse_server;  // empty on null audio
    bool have_user = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

struct Window {
    int64_t sent_ns = 0;
    int64_t end_ns = 0;
    bool after_reset = false;
};

int64_t text_length_ns() {
    return static_cast<int64_t>(kTextDots * dot_ms(kWpm) * kNsPerMs);
}

// Waits until the program has keyed the text sent at sent_ns and the key
// has stayed up long enough, or until it is clear that nothing comes. The
// port log is read again only after it has stopped growing.
int64_t await_keying_end(const Instance& instance, int64_t sent_ns) {
    const int64_t length = text_length_ns();
    sleep_until(sent_ns + length);
    long long size = -1;
    int64_t unchanged_since = 0;
    for (;;) {
        const int64_t now = monotonic_ns();
        if (now > sent_ns + length + kTextSlackNs) {
            return now;
        }
        const long long current = file_size(instance.port_log);
        if (current != size) {
            size = current;
            unchanged_since = now;
        } else if (now - unchanged_since >= kQuietNs) {
            const auto edges = read_port_edges(instance.port_log);
            const auto marks = std::count_if(edges.begin(), edges.end(), [&](const Edge& edge) {
                return edge.down && edge.t_ns >= sent_ns;
            });
            const int64_t up_for = edges.empty() || edges.back().down ? 0 : now - edges.back().t_ns;
            if (marks >= kTextMarks && up_for >= kQuietNs) {
                return now;
            }
            if (marks > 0 && up_for >= kStalledQuietNs) {
                return now;
            }
            if (marks == 0 && now > sent_ns + length + kNothingKeyedNs) {
                return now;
            }
            unchanged_since = now;
        }
        sleep_ms(kPollMs);
    }
}

// Sends the same datagram to both programs, the first half a dot ahead,
// taking turns at going first.
std::array<int64_t, kSubjects> send_both(const Client& client,
                                         const std::array<Instance, kSubjects>& instances,
                                         const char* text, int turn) {
    std::array<int64_t, kSubjects> sent{};
    for (int k = 0; k < kSubjects; ++k) {
        const int s = (turn + k) % kSubjects;
        if (k > 0) {
            sleep_until(sent[turn % kSubjects] + kStaggerNs);
        }
        sent[s] = client.send(instances[s].udp_port, text);
    }
    return sent;
}

void keyed_both(const Client& client, const std::array<Instance, kSubjects>& instances, int turn,
                bool after_reset, std::array<std::vector<Window>, kSubjects>& windows) {
    const auto sent = send_both(client, instances, kText, turn);
    for (int s = 0; s < kSubjects; ++s) {
        windows[s].push_back({sent[s], await_keying_end(instances[s], sent[s]), after_reset});
    }
}

// The count of the process's threads under a real-time policy (SCHED_FIFO
// set directly, SCHED_RR from RealtimeKit), over all of them.
std::string fifo_threads(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return "n/a";
    }
    int all = 0;
    int fifo = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string stat = read_file(tasks + "/" + entry->d_name + "/stat");
        const size_t end_of_name = stat.rfind(')');
        if (end_of_name == std::string::npos) {
            continue;
        }
        // Fields from the third on; the policy is the 41st.
        std::istringstream fields(stat.substr(end_of_name + 2));
        std::string field;
        for (int number = 3; number <= 41 && fields >> field; ++number) {
        }
        ++all;
        const int policy = std::atoi(field.c_str());
        fifo += policy == SCHED_FIFO || policy == SCHED_RR ? 1 : 0;
    }
    closedir(dir);
    return std::to_string(fifo) + "/" + std::to_string(all);
}

void analyse(const Instance& instance, const std::vector<Window>& windows,
             const PlatformLog& platform, Figures& figures) {
    const auto port = read_port_edges(instance.port_log);
    const double dot = dot_ms(kWpm);
    std::vector<int64_t> sends;
    for (const Window& window : windows) {
        const std::string decoded = decode_morse(port, window.sent_ns, window.end_ns, dot);
        const auto found = elements(port, window.sent_ns, window.end_ns, dot);
        for (const double error :
             matched_errors_ms(port, window.sent_ns, window.end_ns, dot, kText)) {
            figures.shortest_ms = std::min(figures.shortest_ms, error);
        }
        const bool wrong = decoded != kText;
        if (window.after_reset) {
            ++figures.reset_texts;
            figures.reset_wrong += wrong ? 1 : 0;
            figures.reset_elements.insert(figures.reset_elements.end(), found.begin(), found.end());
        } else {
            ++figures.texts;
            figures.wrong += wrong ? 1 : 0;
            figures.elements.insert(figures.elements.end(), found.begin(), found.end());
            sends.push_back(window.sent_ns);
        }
        if (wrong) {
            figures.misreadings.push_back(std::string(window.after_reset ? "after reset " : "") +
                                          "\"" + decoded + "\"");
        }
    }
    std::vector<Element> all = figures.elements;
    all.insert(all.end(), figures.reset_elements.begin(), figures.reset_elements.end());
    figures.late = classify_late(all, platform.late);
    figures.latency_ms = first_key_downs(sends, port, text_length_ns() + kTextSlackNs,
                                         static_cast<int64_t>(kQuietDots * dot * kNsPerMs))
                             .latency_ms;
}

// One row: both programs started under the row's conditions, the texts,
// then the texts after a reset, then both stopped and their logs read.
void run_row(Row& row, const Setting& setting, const Options& options) {
    const Condition& condition = row.condition;
    if (!condition.granted && !setting.have_user) {
        row.why_not = std::string("no user ") + kBenchUser;
        return;
    }
    const std::string dir = setting.dir + "/" + condition.sound->name + "-" +
                            (condition.loaded ? "load" : "idle") + "-" +
                            (condition.granted ? "granted" : "refused");
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 0777);  // written by the unprivileged user too

    ChildSetup as_user;
    if (!condition.granted) {
        as_user.as_user = true;
        as_user.uid = setting.uid;
        as_user.gid = setting.gid;
    }
    // The probe runs for the whole row, from before the programs start.
    PlatformProbe probe;
    start_platform_probe(probe, dir + "/probe", condition.granted ? kProbePriority : 0, as_user);

    std::array<Instance, kSubjects> instances;
    bool started = true;
    for (int s = 0; s < kSubjects && started; ++s) {
        Launch launch;
        launch.subject = static_cast<Subject>(s);
        launch.wpm = kWpm;
        launch.sound = condition.sound->letter;
        launch.tag = dir + "/" + (s == kDaemon ? "varkel" : "floor");
        launch.settle_ms = 0;  // both settle together below
        launch.env = {{"HOME", dir}, {"XDG_RUNTIME_DIR", dir}};
        if (!setting.pulse_server.empty()) {
            launch.env.emplace_back("PULSE_SERVER", setting.pulse_server);
        }
        launch.setup = as_user;
        if (condition.granted) {
            launch.setup.fifo_priority = s == kFloor ? kFloorPriority : 0;
        }
        started = start(instances[s], launch);
        if (!started) {
            row.why_not = std::string(kSubjectNames[s]) +
                          " did not start: " + last_line(read_file(instances[s].output));
        }
    }
    if (started) {
        sleep_ms(kSettleMs);
        fprintf(stderr, "run_bench: %s, %s, real-time %s: %d texts, %d after a reset\n",
                condition.sound->name, condition.loaded ? "loaded" : "idle",
                condition.granted ? "granted" : "refused", options.texts, options.resets);
        Client client;
        std::array<std::vector<Window>, kSubjects> windows;
        int turn = 0;
        for (int i = 0; i < options.texts; ++i, ++turn) {
            keyed_both(client, instances, turn % kSubjects, false, windows);
        }
        for (int s = 0; s < kSubjects; ++s) {
            row.figures[s].fifo_threads = fifo_threads(instances[s].pid);
        }
        for (int i = 0; i < options.resets; ++i, ++turn) {
            const auto reset = send_both(client, instances, kResetRequest, turn % kSubjects);
            sleep_until(reset[turn % kSubjects] + kAfterResetNs);
            keyed_both(client, instances, turn % kSubjects, true, windows);
        }
        row.platform = stop_platform_probe(probe);
        for (int s = 0; s < kSubjects; ++s) {
            analyse(instances[s], windows[s], row.platform, row.figures[s]);
        }
    }
    stop_platform_probe(probe);
    for (auto& instance : instances) {
        request_stop(instance);
    }
    for (auto& instance : instances) {
        await_stop(instance);
    }
}

// The load: stress-ng in its own process group, ended with it. It ends by
// itself after timeout_s should the bench not get to end it.
pid_t start_load(const std::string& dir, int timeout_s, std::string& why_not) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const std::string output = dir + "/stress-ng.out";
    ChildSetup setup;
    setup.own_group = true;
    const pid_t pid = spawn({"stress-ng", "--cpu", std::to_string(2 * cores), "--io", "1",
                             "--timeout", std::to_string(timeout_s) + "s"},
                            {}, output, setup);
    sleep_ms(kLoadSettleMs);
    if (pid == -1 || wait_for_exit(pid, 0)) {
        why_not = "stress-ng: " + last_line(read_file(output));
        return -1;
    }
    return pid;
}

bool ensure_user(Setting& setting, const std::string& dir) {
    const passwd* user = getpwnam(kBenchUser);
    if (user == nullptr) {
        run_command(
            {"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", kBenchUser},
            {}, dir + "/useradd.out", 10000);
        user = getpwnam(kBenchUser);
    }
    if (user == nullptr) {
        fprintf(stderr, "run_bench: cannot create the user %s: %s\n", kBenchUser,
                last_line(read_file(dir + "/useradd.out")).c_str());
        return false;
    }
    setting.have_user = true;
    setting.uid = user->pw_uid;
    setting.gid = user->pw_gid;
    return true;
}

// ---- the table ----

std::string number(double value, int decimals = 3) {
    char text[32];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A figure, marked when it is over its target.
std::string judged(double value, bool judge, bool within, int decimals = 3) {
    return number(value, decimals) + (judge && !within ? "*" : "");
}

enum class Targets { kNone, kNullIdle, kSidetoneIdle, kLoadGranted };

Targets targets_of(const Condition& condition) {
    if (condition.loaded) {
        return condition.granted ? Targets::kLoadGranted : Targets::kNone;
    }
    return condition.sound->letter == 'n' ? Targets::kNullIdle : Targets::kSidetoneIdle;
}

std::vector<std::string> cells_of(const Row& row) {
    const Condition& condition = row.condition;
    std::vector<std::string> cells = {condition.sound->name, condition.loaded ? "loaded" : "idle",
                                      condition.granted ? "granted" : "refused"};
    if (!row.why_not.empty()) {
        cells.push_back("not run (" + row.why_not + ")");
        return cells;
    }
    const Targets targets = targets_of(condition);
    const bool null_idle = targets == Targets::kNullIdle;
    const bool sidetone_idle = targets == Targets::kSidetoneIdle;
    const bool load_granted = targets == Targets::kLoadGranted;
    const bool granted = condition.granted;
    const PlatformLog& platform = row.platform;
    if (!platform.complete) {
        cells.insert(cells.end(), {"n/a (no probe report)", "n/a"});
    } else {
        const char* asked = condition.granted ? "fifo" : "other";
        cells.push_back(
            number(platform.p50_ms) + " / " + number(platform.p99_ms) + " / " +
            number(platform.max_ms) +
            (platform.policy != asked ? " (at " + platform.policy + ")" : "") +
            (platform.dropped > 0 ? " (" + std::to_string(platform.dropped) + " not kept)" : ""));
        cells.push_back(platform.steal_ms < 0 ? "n/a" : number(platform.steal_ms, 0));
    }
    std::array<std::array<std::string, kSubjects>, 7> values;
    for (int s = 0; s < kSubjects; ++s) {
        const Figures& f = row.figures[s];
        const bool judge = s == kDaemon;
        const Summary latency = summarize(f.latency_ms);
        const Summary error = summarize(absolute_errors_ms(f.elements));
        const double mean = mean_element_ratio(f.elements);
        values[0][s] =
            latency.count == 0
                ? "n/a"
                : judged(latency.p50, judge && null_idle, latency.p50 <= kNullLatencyP50Ms) +
                      " / " +
                      judged(latency.p99, judge && load_granted, latency.p99 <= kLoadLatencyP99Ms);
        const double p99_target = granted ? kGrantedElementP99Ms : kSidetoneElementP99Ms;
        values[1][s] =
            error.count == 0
                ? "n/a"
                : judged(error.p50, judge && granted, error.p50 <= kGrantedElementP50Ms) + " / " +
                      judged(error.p99, judge && (sidetone_idle || granted),
                             error.p99 <= p99_target) +
                      " / " +
                      judged(error.max, judge && sidetone_idle, error.max <= kSidetoneElementMaxMs);
        values[2][s] = error.count == 0 ? "n/a"
                                        : judged(mean, judge && granted,
                                                 std::fabs(mean - 1.0) <= kGrantedMeanDeviation, 4);
        values[3][s] = std::to_string(f.wrong) + "/" + std::to_string(f.texts) +
                       (judge && (sidetone_idle || granted) && f.wrong > 0 ? "*" : "");
        const Summary reset_error = summarize(absolute_errors_ms(f.reset_elements));
        values[4][s] = f.reset_texts == 0
                           ? "-"
                           : std::to_string(f.reset_wrong) + "/" + std::to_string(f.reset_texts) +
                                 (judge && sidetone_idle && f.reset_wrong > 0 ? "*" : "") +
                                 ", max " +
                                 (reset_error.count == 0 ? "n/a" : number(reset_error.max));
        values[5][s] = platform.complete
                           ? std::to_string(f.late.own) + " / " + std::to_string(f.late.platform) +
                                 (judge && condition.granted && f.late.own > 0 ? "*" : "")
                           : "n/a";
        values[6][s] = f.fifo_threads;
    }
    for (const auto& pair : values) {
        cells.push_back(pair[kDaemon]);
        cells.push_back(pair[kFloor]);
    }
    std::string target;
    switch (targets) {
        case Targets::kNullIdle:
            target = "key-down p50 <= 0.155 ms (idle CPU and memory: run_bench)";
            break;
        case Targets::kSidetoneIdle:
            target = granted ? "element max <= 1 ms; 0 mis-decoded after reset"
                             : "element p99 <= 0.5 ms, max <= 1 ms; 0 mis-decoded, after reset too";
            break;
        case Targets::kLoadGranted:
            target = "key-down p99 <= 1 ms";
            break;
        case Targets::kNone:
            target = "none: what a refusal costs";
            break;
    }
    if (granted) {
        target +=
            "; element p50 <= 0.03 ms, p99 <= 0.15 ms; mean element 1.0000 +/- 0.0005; 0 "
            "mis-decoded; 0 own late elements";
    }
    cells.push_back(target);
    return cells;
}

void print_table(const std::vector<Row>& rows) {
    std::vector<std::vector<std::string>> table = {
        {"sound",     "load",
         "real-time", "platform wake-up p50 / p99 / max ms",
         "steal ms",  "key-down p50 / p99 ms, varkel",
         "floor",     "element error p50 / p99 / max ms, varkel",
         "floor",     "mean element, varkel",
         "floor",     "mis-decoded, varkel",
         "floor",     "after reset: mis-decoded, max error ms, varkel",
         "floor",     "late elements own / platform, varkel",
         "floor",     "FIFO threads, varkel",
         "floor",     "targets (varkel; * over its target)"}};
    for (const Row& row : rows) {
        table.push_back(cells_of(row));
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& line : table) {
        for (size_t c = 0; c < line.size() && line.size() == widths.size(); ++c) {
            widths[c] = std::max(widths[c], line[c].size());
        }
    }
    auto print_line = [&](const std::vector<std::string>& line) {
        printf("|");
        for (size_t c = 0; c < line.size(); ++c) {
            printf(" %-*s |", static_cast<int>(c < widths.size() ? widths[c] : 0), line[c].c_str());
        }
        printf("\n");
    };
    printf("\n");
    print_line(table[0]);
    printf("|");
    for (const size_t width : widths) {
        printf("%s|", std::string(width + 2, '-').c_str());
    }
    printf("\n");
    for (size_t r = 1; r < table.size(); ++r) {
        print_line(table[r]);
    }
    printf("\n");
    bool any = false;
    for (const Row& row : rows) {
        for (int s = 0; s < kSubjects; ++s) {
            const auto& misreadings = row.figures[s].misreadings;
            if (misreadings.empty()) {
                continue;
            }
            if (!any) {
                printf("Mis-decoded texts (the first three of each):\n");
                any = true;
            }
            printf("  %s, %s, %s, %s:", row.condition.sound->name,
                   row.condition.loaded ? "loaded" : "idle",
                   row.condition.granted ? "granted" : "refused", kSubjectNames[s]);
            for (size_t i = 0; i < misreadings.size() && i < 3; ++i) {
                printf(" %s", misreadings[i].c_str());
            }
            printf("\n");
        }
    }
}

// The range of a figure over rows, "a-b", or one value.
struct Range {
    double low = INFINITY;
    double high = -INFINITY;
    void add(double value) {
        low = std::min(low, value);
        high = std::max(high, value);
    }
    std::string text(int decimals = 3) const {
        if (low > high) {
            return "n/a";
        }
        return low == high ? number(low, decimals)
                           : number(low, decimals) + "-" + number(high, decimals);
    }
};

// What the daemon controls, apart from what the machine did: its own late
// elements and its element error beside the platform's wake-up latency.
void print_summary(const std::vector<Row>& rows) {
    std::array<LateElements, 2> daemon{};  // [granted]
    std::array<LateElements, 2> floor{};
    std::array<int, 2> measured{};
    Range error_p99;
    Range error_max;
    Range wake_p99;
    Range wake_max;
    Range steal;
    double shortest = 0;  // the daemon's most negative element error in any row
    for (const Row& row : rows) {
        if (!row.why_not.empty() || !row.platform.complete) {
            continue;
        }
        const int granted = row.condition.granted ? 1 : 0;
        ++measured[granted];
        daemon[granted].own += row.figures[kDaemon].late.own;
        daemon[granted].platform += row.figures[kDaemon].late.platform;
        floor[granted].own += row.figures[kFloor].late.own;
        floor[granted].platform += row.figures[kFloor].late.platform;
        shortest = std::min(shortest, row.figures[kDaemon].shortest_ms);
        const Summary error = summarize(absolute_errors_ms(row.figures[kDaemon].elements));
        if (row.condition.granted && error.count > 0) {
            error_p99.add(error.p99);
            error_max.add(error.max);
        }
        wake_p99.add(row.platform.p99_ms);
        wake_max.add(row.platform.max_ms);
        if (row.platform.steal_ms >= 0) {
            steal.add(row.platform.steal_ms);
        }
    }
    printf(
        "Summary: varkel's own late elements (over %.0f ms off, with no stall of the probe to "
        "explain them): %zu in %d rows with real time granted%s (target 0), %zu in %d refused; "
        "%zu and %zu late with the platform. The floor's own: %zu granted, %zu refused; with the "
        "platform %zu and %zu.\n",
        kLateElementMs, daemon[1].own, measured[1], daemon[1].own > 0 ? "*" : "", daemon[0].own,
        measured[0], daemon[1].platform, daemon[0].platform, floor[1].own, floor[0].own,
        floor[1].platform, floor[0].platform);
    printf(
        "  varkel's element error with real time granted: p99 %s ms, max %s ms; the platform's "
        "wake-up over all rows: p99 %s ms, max %s ms; steal %s ms a row.\n",
        error_p99.text().c_str(), error_max.text().c_str(), wake_p99.text().c_str(),
        wake_max.text().c_str(), steal.text(0).c_str());
    printf(
        "  varkel's worst element shortening in any row, each element matched to the text: %.3f "
        "ms (the key line's resync bound: 0.5 ms).\n",
        -shortest);
}

void print_conditions(const Options& options) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    printf(
        "Station matrix: varkel and the libcw floor side by side in each row, \"%s\" at %d wpm "
        "(dot %.0f ms) keyed on DTR of the simulated serial port:\n",
        kText, kWpm, dot_ms(kWpm));
    printf(
        "  %d texts to each program, then %d texts sent %.1f s after a reset (ESC 0), each once "
        "the keying before it has ended.\n",
        options.texts, options.resets, kAfterResetNs / 1e9);
    printf(
        "  libcw floor: bench/libcw_floor (UDP text to libcw, keying callback to DTR, nothing "
        "else) on the same sound system, load and user;\n"
        "  real-time granted: both as root, the floor under SCHED_FIFO %d (as chrt -f %d), "
        "varkel asking for its own;\n"
        "  refused: both as user %s with RLIMIT_RTPRIO 0.\n",
        kFloorPriority, kFloorPriority, kBenchUser);
    printf(
        "  loaded: stress-ng --cpu %ld --io 1 on %ld CPUs. Sound servers: PulseAudio and "
        "PipeWire (pipewire-pulse) with a null sink, started for the bench.\n",
        2 * cores, cores);
    printf(
        "  key-down: datagram to the first key-down. element error: |length - nominal| of each "
        "mark and space inside words. mean element: length / nominal.\n");
    printf(
        "  platform: bench/platform_probe beside each row, from before the programs start to "
        "the last text, one thread per CPU waking every 1 ms at SCHED_FIFO %d (granted) or as %s "
        "(refused); steal from /proc/stat. A late element (over %.0f ms off) is the platform's "
        "when a probe thread woke at least half as late within its span (under 2 ms off: or was "
        "held across its late edge by the error less the 1 ms it cannot see), else the program's "
        "own; counted over all texts, those after a reset too.\n",
        kProbePriority, kBenchUser, kLateElementMs);
    printf(
        "  The bench sends at SCHED_FIFO %d: a send is timestamped as it goes out. load "
        "average %s\n",
        kBenchPriority, load_average().c_str());
}

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--texts" && has_value) {
            options.texts = std::atoi(argv[++i]);
        } else if (arg == "--resets" && has_value) {
            options.resets = std::atoi(argv[++i]);
        } else if (arg == "--sound" && has_value) {
            options.sounds = argv[++i];
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return false;
        }
    }
    return options.texts > 0 && options.resets >= 0 && !options.sounds.empty() &&
           options.sounds.find_first_not_of("npw") == std::string::npos;
}

// The load runs for the two loaded rows of a sound system; each takes its
// texts, its resets (about 2 s more each) and about 4 s to start and stop.
// Twice that, and a minute more, before stress-ng ends by itself.
int load_timeout_s(const Options& options) {
    const double text_s = (text_length_ns() + kQuietNs) / 1e9;
    const double row_s = options.texts * text_s + options.resets * (text_s + 2) + 4;
    return static_cast<int>(2 * 2 * row_s) + 60;
}

}  // namespace

int run_station(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        fprintf(stderr,
                "usage: run_bench --station [--texts N] [--resets N] [--sound npw] [--keep]\n");
        return 2;
    }
    if (geteuid() != 0) {
        fprintf(stderr,
                "run_bench: --station needs root: it grants and refuses real-time priority, runs "
                "programs as %s and starts sound servers\n",
                kBenchUser);
        return 1;
    }
    char dir_template[] = "/tmp/varkel-station-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        perror("run_bench: mkdtemp");
        return 1;
    }
    Setting setting;
    setting.dir = dir_template;
    chmod(setting.dir.c_str(), 0755);
    ensure_user(setting, setting.dir);
    sched_param priority{};
    priority.sched_priority = kBenchPriority;
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) == -1) {
        perror("run_bench: SCHED_FIFO for the bench");
    }

    const int64_t began = monotonic_ns();
    print_conditions(options);
    std::vector<Row> rows;
    for (const Sound& sound : kSounds) {
        if (options.sounds.find(sound.key) == std::string::npos) {
            continue;
        }
        SoundServer server;
        std::string why_not;
        if (sound.start_server != nullptr) {
            fprintf(stderr, "run_bench: starting %s\n", sound.name);
            if (sound.start_server(setting.dir + "/" + sound.name + "-server", server)) {
                setting.pulse_server = server.pulse_server;
            } else {
                why_not = server.name + " did not start: " + server.why_not;
            }
        } else {
            setting.pulse_server.clear();
        }
        pid_t load = -1;
        for (const bool loaded : {false, true}) {
            std::string load_why_not;
            if (loaded && why_not.empty()) {
                load = start_load(setting.dir, load_timeout_s(options), load_why_not);
            }
            for (const bool granted : {true, false}) {
                Row row;
                row.condition = {&sound, loaded, granted};
                row.why_not = why_not.empty() ? load_why_not : why_not;
                if (row.why_not.empty()) {
                    run_row(row, setting, options);
                }
                rows.push_back(row);
            }
        }
        end_child(load, SIGTERM, kLoadStopMs, "stress-ng", true);
        stop_sound_server(server);
    }
    print_table(rows);
    print_summary(rows);
    printf("Matrix run in %.0f s; load average at the end %s\n", (monotonic_ns() - began) / 1e9,
           load_average().c_str());
    if (options.keep) {
        fprintf(stderr, "run_bench: raw logs kept in %s\n", setting.dir.c_str());
    } else {
        remove_tree(setting.dir);
    }
    return 0;
}

}  // namespace bench
