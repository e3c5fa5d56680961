// Several clients at once against one daemon for a bounded time: texts with
// echo markers, aborts, PTT and speed requests racing libcw's callbacks.
// Under ThreadSanitizer this is the test that exercises every shared path.
// Then every byte value and a storm of random datagrams against one daemon.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
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

namespace {

// What the daemon logs for every datagram it reads that is more than CR/LF.
const std::string kReadLine = "varkel:II: -------------------\n";
constexpr size_t kBatch = 64;  // well inside the socket's receive buffer

class Sender {
  public:
    Sender(Daemon& daemon, const Client& client) : daemon_(daemon), client_(client) {}
    ~Sender() {
        if (log_ != nullptr) {
            fclose(log_);
        }
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Sends in batches, each read by the daemon before the next, so that
    // none is lost to a full socket buffer.
    bool send_all(const std::vector<std::string>& datagrams) {
        size_t in_batch = 0;
        for (const std::string& datagram : datagrams) {
            if (!client_.send(datagram, daemon_.port())) {
                return false;
            }
            if (datagram.find_last_not_of("\r\n") != std::string::npos) {
                ++sent_;
            }
            if (++in_batch == kBatch && !caught_up()) {
                return false;
            }
            in_batch %= kBatch;
            while (client_.receive(0)) {
            }
        }
        return caught_up();
    }

  private:
    // Counts the daemon's read lines in what its log has grown by; false as
    // soon as the daemon is gone.
    bool caught_up() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        if (log_ == nullptr) {
            log_ = fopen((daemon_.dir() + "/stdout").c_str(), "r");
        }
        while (log_ != nullptr) {
            char chunk[65536];
            size_t got;
            while ((got = fread(chunk, 1, sizeof chunk, log_)) > 0) {
                unread_.append(chunk, got);
            }
            clearerr(log_);
            size_t at = 0;
            for (size_t found; (found = unread_.find(kReadLine, at)) != std::string::npos;) {
                ++read_;
                at = found + kReadLine.size();
            }
            const size_t keep = std::min(unread_.size() - at, kReadLine.size() - 1);
            unread_.erase(0, unread_.size() - keep);
            if (read_ >= sent_) {
                return true;
            }
            if (!daemon_.running() || std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    Daemon& daemon_;
    const Client& client_;
    FILE* log_ = nullptr;
    std::string unread_;  // the end of the log that may hold part of a line
    size_t sent_ = 0;     // datagrams the daemon logs when it reads them
    size_t read_ = 0;
};

std::string byte(int value) {
    return std::string(1, static_cast<char>(value));
}

// Every byte as the argument of every request that reads one, and as a
// request code. Left out: requests 0, 5 and 6, which ignore their argument
// (0 rebuilds libcw's generator, a second each; 5 stops the daemon; 6 would
// make the final abort a no-op); tune with a digit, which would play for
// seconds; sound systems other than null, which cannot be opened here (OSS
// is retried for 20 seconds).
std::vector<std::string> every_byte_as_argument() {
    const std::string kEscape = "\x1b";
    std::vector<std::string> datagrams;
    for (const char code : std::string("234789abcdefgh")) {
        for (int value = 0; value < 256; ++value) {
            const bool long_tune = code == 'c' && value >= '1' && value <= '9';
            const bool other_sound_system =
                code == 'f' &&
                std::string("acops").find(static_cast<char>(value)) != std::string::npos;
            if (!long_tune && !other_sound_system && value != 0) {
                datagrams.push_back(kEscape + code + byte(value));
            }
        }
    }
    for (int value = 0; value < 256; ++value) {
        if (value != '0' && value != '5' && value != '6') {
            datagrams.push_back(kEscape + byte(value));
        }
    }
    // Back to full speed (the digits left 9 wpm): the storm's aborts then
    // wait out short elements only.
    datagrams.push_back(kEscape + "260");
    return datagrams;
}

// Random datagrams: texts of any bytes, and requests with random arguments;
// tune for 0 seconds only (a real tune plays one-second tones, and every
// abort would wait one out). Requests 0 and f (a generator
// rebuilt each time), 5 (stop) and 6 (word mode) are left out.
std::vector<std::string> storm(size_t count, unsigned seed) {
    const std::string kEscape = "\x1b";
    const std::string kCodes = "234789abcdegh";
    std::mt19937 random(seed);
    const auto any = [&](size_t length) {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<char>(random() & 0xff);
        }
        return text;
    };
    std::vector<std::string> datagrams;
    while (datagrams.size() < count) {
        const unsigned pick = random() % 8;
        if (pick < 4) {
            datagrams.push_back(any(1 + random() % 64));
            continue;
        }
        char code = kCodes[random() % kCodes.size()];
        if (pick == 7) {
            code = static_cast<char>(random() & 0xff);
            if (std::string("056f").find(code) != std::string::npos) {
                continue;
            }
        }
        datagrams.push_back(kEscape + code + (code == 'c' ? "0" : any(random() % 16)));
    }
    return datagrams;
}

}  // namespace

TEST(Stress, EveryByteValueAndARandomStormLeaveTheDaemonAnsweringWithFlatDescriptors) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-s", "60", "-y", "i"}));
    const int descriptors = harness::open_descriptors(daemon.pid());
    ASSERT_GT(descriptors, 0);
    Client client;
    Sender sender(daemon, client);

    std::vector<std::string> alone;
    std::vector<std::string> in_text;
    for (int value = 0; value < 256; ++value) {
        alone.push_back(byte(value));
        in_text.push_back("E" + byte(value) + "T");
    }
    ASSERT_TRUE(sender.send_all(alone));
    ASSERT_TRUE(sender.send_all(in_text));
    ASSERT_TRUE(sender.send_all(every_byte_as_argument()));
    ASSERT_TRUE(sender.send_all(storm(1500, 6789)));
    ASSERT_TRUE(daemon.running());
    EXPECT_EQ(daemon.count_output("requested exit of daemon"), 0u);

    // After an abort the daemon still answers an echo.
    ASSERT_TRUE(
        sender.send_all({"\x1b"
                         "4"}));
    while (client.receive(200)) {
    }
    ASSERT_TRUE(client.send("E^", daemon.port()));
    std::optional<std::string> reply;
    while ((reply = client.receive(5000)) && *reply != "E\r\n") {
    }
    EXPECT_EQ(reply, std::optional<std::string>("E\r\n"));
    EXPECT_EQ(harness::open_descriptors(daemon.pid()), descriptors);

    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(15000), 0);
}
