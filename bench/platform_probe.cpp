// The platform probe: how late this machine wakes a thread that asked to
// be woken, measured beside the programs the bench times. One thread per
// CPU, each pinned to its CPU, sleeps to an absolute deadline every
// millisecond on CLOCK_MONOTONIC, the clock of the port's and the keying
// probe's timestamps, and notes how late it woke. A key line that sleeps
// through an element cannot wake sooner than such a thread on its CPU: a
// late wake-up here at the time of a late element says the machine, not
// the program, lost the time.
//
//   platform_probe [--fifo PRIORITY]
//
//   --fifo PRIORITY  SCHED_FIFO at this priority (the key line's); when it
//                    is refused, the probe runs at the normal policy and
//                    says so
//
// It leaves the machine's power management alone (idle processors halt as
// they do for the programs) and allocates nothing once it runs. On SIGINT
// or SIGTERM it prints:
//   P <policy> <threads>
//   W <wake-ups> <p50 ns> <p99 ns> <max ns> <late wake-ups not kept>
//   S <steal ms while it ran>
//   L <asked ns> <woke ns>     each wake-up 0.25 ms late or more, in order
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int64_t kIntervalNs = 1'000'000;
// Half of the least lateness that makes an element late (1 ms): every
// wake-up that can class one is kept, and few others.
constexpr int64_t kKeepLateNs = 250'000;
// A 1 µs bucket each up to 100 ms; later wake-ups count in the last.
constexpr size_t kBuckets = 100'001;
constexpr int64_t kNsPerBucket = 1000;
// Room for one wake-up in three late over the plain bench's three minutes.
constexpr size_t kKeptPerThread = 1 << 17;

struct Wake {
    int64_t asked_ns;
    int64_t woke_ns;
};

struct ThreadRecord {
    int cpu = 0;
    pthread_t thread{};
    std::vector<uint32_t> histogram;
    std::vector<Wake> kept;
    size_t kept_count = 0;
    size_t dropped = 0;
    uint64_t samples = 0;
    int64_t max_late_ns = 0;
};

std::atomic<bool> stopping{false};

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

timespec to_timespec(int64_t t_ns) {
    timespec t{};
    t.tv_sec = t_ns / 1'000'000'000;
    t.tv_nsec = t_ns % 1'000'000'000;
    return t;
}

void* measure(void* argument) {
    auto& record = *static_cast<ThreadRecord*>(argument);
    // Deadlines on the millisecond; a stall longer than the interval skips
    // the deadlines it missed instead of catching up with wake-ups that
    // would report the same stall again.
    int64_t asked = (monotonic_ns() / kIntervalNs + 1) * kIntervalNs;
    while (!stopping.load(std::memory_order_relaxed)) {
        const timespec deadline = to_timespec(asked);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
        }
        const int64_t woke = monotonic_ns();
        const int64_t late = woke - asked;
        ++record.samples;
        record.max_late_ns = std::max(record.max_late_ns, late);
        ++record.histogram[std::min<size_t>(
            static_cast<size_t>(std::max<int64_t>(late, 0)) / kNsPerBucket, kBuckets - 1)];
        if (late >= kKeepLateNs) {
            if (record.kept_count < record.kept.size()) {
                record.kept[record.kept_count++] = {asked, woke};
            } else {
                ++record.dropped;
            }
        }
        do {
            asked += kIntervalNs;
        } while (asked <= woke);
    }
    return nullptr;
}

// The machine's steal time so far, in clock ticks: the 8th figure of the
// "cpu" line. -1 when it cannot be read.
long long steal_ticks() {
    std::ifstream stat("/proc/stat");
    std::string name;
    long long field = 0;
    if (!(stat >> name) || name != "cpu") {
        return -1;
    }
    for (int i = 1; i <= 8; ++i) {
        if (!(stat >> field)) {
            return -1;
        }
    }
    return field;
}

// The nearest-rank percentile of the merged histogram, in ns.
int64_t percentile_ns(const std::vector<uint64_t>& histogram, uint64_t samples, double percent) {
    const auto rank = std::max<uint64_t>(
        static_cast<uint64_t>(std::ceil(percent / 100.0 * static_cast<double>(samples))), 1);
    uint64_t seen = 0;
    for (size_t bucket = 0; bucket < histogram.size(); ++bucket) {
        seen += histogram[bucket];
        if (seen >= rank) {
            return static_cast<int64_t>(bucket) * kNsPerBucket;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int fifo_priority = 0;
    if (argc == 3 && std::strcmp(argv[1], "--fifo") == 0) {
        fifo_priority = std::atoi(argv[2]);
    } else if (argc != 1) {
        fprintf(stderr, "usage: platform_probe [--fifo PRIORITY]\n");
        return 2;
    }
    // The threads inherit the policy and the blocked signals.
    const char* policy = "other";
    if (fifo_priority > 0) {
        sched_param priority{};
        priority.sched_priority = fifo_priority;
        if (sched_setscheduler(0, SCHED_FIFO, &priority) == 0) {
            policy = "fifo";
        } else {
            perror("platform_probe: SCHED_FIFO refused, at the normal policy");
        }
    }
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    std::vector<ThreadRecord> records;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &cpus)) {
            ThreadRecord record;
            record.cpu = cpu;
            // Touched now, so that recording never faults a page in.
            record.histogram.assign(kBuckets, 0);
            record.kept.assign(kKeptPerThread, Wake{0, 0});
            records.push_back(std::move(record));
        }
    }
    // Best effort: an unprivileged user may lock too little.
    mlockall(MCL_CURRENT);
    const long long steal_before = steal_ticks();
    size_t started = 0;
    for (ThreadRecord& record : records) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(record.cpu, &one);
        pthread_attr_setaffinity_np(&attributes, sizeof one, &one);
        if (pthread_create(&record.thread, &attributes, measure, &record) == 0) {
            ++started;
        } else {
            fprintf(stderr, "platform_probe: no thread for CPU %d\n", record.cpu);
            record.cpu = -1;
        }
        pthread_attr_destroy(&attributes);
    }
    int signal_number = 0;
    sigwait(&ending, &signal_number);
    stopping = true;
    for (ThreadRecord& record : records) {
        if (record.cpu >= 0) {
            pthread_join(record.thread, nullptr);
        }
    }
    const long long steal_after = steal_ticks();

    std::vector<uint64_t> histogram(kBuckets, 0);
    std::vector<Wake> kept;
    uint64_t samples = 0;
    int64_t max_late = 0;
    size_t dropped = 0;
    for (const ThreadRecord& record : records) {
        for (size_t bucket = 0; bucket < kBuckets; ++bucket) {
            histogram[bucket] += record.histogram[bucket];
        }
        kept.insert(kept.end(), record.kept.begin(),
                    record.kept.begin() + static_cast<long>(record.kept_count));
        samples += record.samples;
        max_late = std::max(max_late, record.max_late_ns);
        dropped += record.dropped;
    }
    std::sort(kept.begin(), kept.end(),
              [](const Wake& a, const Wake& b) { return a.asked_ns < b.asked_ns; });
    std::ostringstream out;
    out << "P " << policy << " " << started << "\n";
    out << "W " << samples << " " << percentile_ns(histogram, samples, 50) << " "
        << percentile_ns(histogram, samples, 99) << " " << max_late << " " << dropped << "\n";
    if (steal_before >= 0 && steal_after >= 0) {
        out << "S " << (steal_after - steal_before) * 1000 / sysconf(_SC_CLK_TCK) << "\n";
    }
    for (const Wake& wake : kept) {
        out << "L " << wake.asked_ns << " " << wake.woke_ns << "\n";
    }
    fputs(out.str().c_str(), stdout);
    return 0;
}
