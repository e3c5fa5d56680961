// Real time for an ordinary user through RealtimeKit, against a stand-in
// bus: the limit it requires is set before it is asked, the priority stays
// within its bound, each keying thread is asked for, and a refusal by both
// ways is told once with both remedies.
#include "core/realtime_scheduling.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.h"
#include "core/realtime_kit_io.h"
#include "core/settings.h"
#include "support/log_capture.h"

namespace varkel {
namespace {

struct Bus {
    std::vector<std::string> calls;
    int32_t max_priority = 20;
    int64_t rttime_max = 200000;
    int grant_result = 0;
    rlimit rttime{RLIM_INFINITY, RLIM_INFINITY};
    std::vector<uint64_t> threads;
};
Bus g_bus;
sd_bus* const kBus = reinterpret_cast<sd_bus*>(&g_bus);

int refuse_fifo(int) {
    return EPERM;
}

const RealtimeKitIo kStandIn = {
    .open_bus =
        [](sd_bus** bus) {
            g_bus.calls.push_back("open");
            *bus = kBus;
            return 0;
        },
    .read_int32 =
        [](sd_bus*, const char* property, int32_t* value) {
            g_bus.calls.push_back(property);
            *value = g_bus.max_priority;
            return 0;
        },
    .read_int64 =
        [](sd_bus*, const char* property, int64_t* value) {
            g_bus.calls.push_back(property);
            *value = g_bus.rttime_max;
            return 0;
        },
    .make_thread_realtime =
        [](sd_bus*, uint64_t thread, uint32_t priority) {
            g_bus.calls.push_back("MakeThreadRealtime " + std::to_string(priority));
            g_bus.threads.push_back(thread);
            return g_bus.grant_result;
        },
    .close_bus = [](sd_bus*) { g_bus.calls.push_back("close"); },
    .get_rttime =
        [](rlimit* limit) {
            *limit = g_bus.rttime;
            return 0;
        },
    .set_rttime =
        [](const rlimit* limit) {
            g_bus.calls.push_back("RLIMIT_RTTIME " + std::to_string(limit->rlim_cur) + "/" +
                                  std::to_string(limit->rlim_max));
            g_bus.rttime = *limit;
            return 0;
        },
};

class RealtimeKitTest : public ::testing::Test {
  protected:
    RealtimeKitTest() {
        g_bus = Bus{};
        realtime_kit_io = kStandIn;
        set_calling_thread_fifo = refuse_fifo;
        settings.current.verbosity = DD;
        log_ = tmpfile();
        set_debug_output(log_);
    }
    ~RealtimeKitTest() override {
        set_debug_output(stdout);
        fclose(log_);
        reset_realtime_scheduling_for_tests();
        reset_settings_for_tests();
    }
    std::string log() { return test_support::read_whole_stream(log_); }
    FILE* log_ = nullptr;
};

TEST_F(RealtimeKitTest, RefusedFifoIsAskedOfRealtimeKitWithinItsBoundsForEachKeyingThread) {
    g_bus.max_priority = 15;
    EXPECT_TRUE(enter_realtime_scheduling());
    EXPECT_EQ(g_bus.calls, (std::vector<std::string>{"open", "MaxRealtimePriority", "RTTimeUSecMax",
                                                     "RLIMIT_RTTIME 200000/200000",
                                                     "MakeThreadRealtime 15", "close"}));
    EXPECT_EQ(g_bus.threads, std::vector<uint64_t>{static_cast<uint64_t>(gettid())});
    report_realtime_scheduling();
    EXPECT_EQ(log(),
              "varkel:II: real-time scheduling: SCHED_RR at priority 15, granted by "
              "RealtimeKit\n");

    // A thread made meanwhile (libcw's) inherits nothing from the grant: it
    // is named and asked for. A lower hard limit is kept.
    g_bus.calls.clear();
    g_bus.threads.clear();
    g_bus.rttime = {100000, 100000};
    std::atomic<bool> may_end{false};
    std::atomic<pid_t> created{0};
    std::thread keying;
    {
        RealtimeForNewThreads scope("varkel key");
        keying = std::thread([&] {
            created.store(gettid());
            while (!may_end.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        while (created.load() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::ifstream comm("/proc/self/task/" + std::to_string(created.load()) + "/comm");
    std::string name;
    std::getline(comm, name);
    may_end.store(true);
    keying.join();
    // A sanitizer's runtime may start a thread of its own beside it.
    EXPECT_NE(std::find(g_bus.threads.begin(), g_bus.threads.end(),
                        static_cast<uint64_t>(created.load())),
              g_bus.threads.end());
    EXPECT_EQ(g_bus.calls[3], "RLIMIT_RTTIME 100000/100000");
    EXPECT_EQ(name, "varkel key");
}

TEST_F(RealtimeKitTest, BothWaysRefusedAreToldOnceWithBothRemedies) {
    g_bus.grant_result = -EACCES;
    EXPECT_FALSE(enter_realtime_scheduling());
    EXPECT_FALSE(enter_realtime_scheduling());
    report_realtime_scheduling();
    EXPECT_EQ(log(),
              "varkel:WW: real-time scheduling refused (Operation not permitted; RealtimeKit: "
              "Permission denied): keying may jitter under load; allow priority 20 with "
              "RLIMIT_RTPRIO (LimitRTPRIO=20 in the service unit, or an rtprio line in "
              "/etc/security/limits.conf), or run rtkit-daemon (RealtimeKit) for a user in a "
              "desktop session\n");
    // Not granted: threads made afterwards are not asked for.
    g_bus.calls.clear();
    {
        RealtimeForNewThreads scope("varkel key");
        std::thread([] {}).join();
    }
    EXPECT_TRUE(g_bus.calls.empty());
}

// RealtimeKit's grant carries SCHED_RESET_ON_FORK, and an ordinary user
// who dropped it could not take it back: a thread under it stays where it
// is while the sound system's threads are made.
TEST(NormalSchedulingScope, LeavesAGrantThatNewThreadsDoNotInheritAlone) {
    std::thread([] {
        const sched_param priority{.sched_priority = kRealtimePriority};
        if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &priority) != 0) {
            GTEST_SKIP() << "SCHED_RR refused here: " << strerror(errno);
        }
        {
            NormalSchedulingScope normal;
            EXPECT_EQ(sched_getscheduler(0), SCHED_RR | SCHED_RESET_ON_FORK);
        }
        EXPECT_EQ(sched_getscheduler(0), SCHED_RR | SCHED_RESET_ON_FORK);
        const sched_param fifo{.sched_priority = kRealtimePriority};
        ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo), 0);
        {
            NormalSchedulingScope normal;
            EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
        }
        EXPECT_EQ(sched_getscheduler(0), SCHED_FIFO);
    }).join();
}

}  // namespace
}  // namespace varkel
