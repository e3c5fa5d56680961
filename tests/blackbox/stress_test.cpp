// Several clients at once against one daemon for a bounded time: texts with
// echo markers, aborts, PTT and speed requests racing libcw's callbacks.
// Under ThreadSanitizer this is the test that exercises every shared path.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"

using harness::Client;
using harness::Daemon;

namespace {

const std::string kEsc = "\x1b";

void run_client(int port, int seed, std::chrono::steady_clock::time_point until,
                std::atomic<int>& sent) {
    Client client;
    const std::vector<std::string> requests = {
        "E",          "T^",           kEsc + "hX", "EE",        kEsc + "4",   kEsc + "a1",
        kEsc + "a0",  kEsc + "2 40",  "+-~E^",     kEsc + "d5", kEsc + "d0",  "I*^",
        kEsc + "g50", kEsc + "3 700", kEsc + "30", kEsc + "c0", kEsc + "7 10"};
    size_t next = static_cast<size_t>(seed);
    while (std::chrono::steady_clock::now() < until) {
        client.send(requests[next % requests.size()], port);
        next = next * 7 + 3;
        ++sent;
        // Drain replies so the socket buffer never fills.
        while (client.receive(0)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + seed));
    }
}

}  // namespace

TEST(Stress, ConcurrentClientsLeaveTheDaemonAnsweringAndItExitsCleanly) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-s", "60"}));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    std::atomic<int> sent{0};
    std::vector<std::thread> clients;
    for (int seed = 0; seed < 4; ++seed) {
        clients.emplace_back(run_client, daemon.port(), seed, until, std::ref(sent));
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_GT(sent.load(), 100);
    ASSERT_TRUE(daemon.running());

    // Still answering: an echo comes back after a short text. The daemon may
    // still be working through a backlog (each abort waits for the element
    // being played) and the kernel may have dropped datagrams meanwhile, so
    // ask again until it answers. The reset goes with every attempt: should
    // it be dropped, an extra gap left by "~E^" would carry on and take
    // every caret that follows a single character.
    Client client;
    std::optional<std::string> reply;
    for (int attempt = 0; attempt < 30 && !reply; ++attempt) {
        client.send(kEsc + "0", daemon.port());
        client.send("E^", daemon.port());
        reply = client.receive(2000);
    }
    if (!reply.has_value()) {
        const std::string out = daemon.out();
        FAIL() << "no echo; the daemon's last log lines:\n"
               << out.substr(out.size() > 6000 ? out.size() - 6000 : 0) << "\nthreads:\n"
               << daemon.thread_stacks();
    }
    EXPECT_EQ(*reply, "E\r\n");

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(15000), 0);
}
