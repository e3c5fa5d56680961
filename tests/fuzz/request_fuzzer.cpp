// Arbitrary datagrams through the daemon's request path: the receive step's
// clean-up and dispatch, the text player and every escape request, with the
// recording libcw stand-in in place of libcw and the null keying device.
//
// An input is a sequence of datagrams separated by the byte 0x1e; after
// each one the queue is taken to have drained, as libcw would report it.
// Besides the sanitizers, the invariants every request must keep are
// checked after each datagram.
#include <dlfcn.h>
#include <libcw.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/logging.h"
#include "core/settings.h"
#include "core/value_parsers.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/generator.h"
#include "morse/ptt.h"
#include "net/escape_requests.h"
#include "net/udp_endpoint.h"
#include "support/fake_libcw.h"

namespace {

constexpr uint8_t kDatagramSeparator = 0x1e;
constexpr size_t kMaxDatagrams = 16;
constexpr uint8_t kAllPttFlags =
    varkel::PTT_ACTIVE_AUTO | varkel::PTT_ACTIVE_MANUAL | varkel::PTT_ACTIVE_ECHO;

pthread_t g_fuzz_thread;
bool g_fuzz_thread_known = false;

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

void set_up_once() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    g_fuzz_thread = pthread_self();
    g_fuzz_thread_known = true;
    // Every line is formatted but goes nowhere.
    varkel::set_debug_output(fopen("/dev/null", "w"));
    // Replies go out of a socket of our own, never through descriptor 0.
    varkel::socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
}

void reset_daemon_state(size_t input_size) {
    using namespace varkel;
    fake_libcw::reset();
    // What libcw reports varies from input to input, so that a queue still
    // busy when PTT is released and sound systems that cannot be opened (up
    // to no generator at all) are reached too. OSS always opens: its retries
    // would sleep for seconds.
    fake_libcw::set_tone_queue_length(static_cast<int>(input_size % 4));
    fake_libcw::set_generator_new_result(CW_AUDIO_ALSA, CW_FAILURE);
    fake_libcw::set_generator_new_result(CW_AUDIO_CONSOLE, CW_FAILURE);
    fake_libcw::set_generator_new_result(CW_AUDIO_NULL,
                                         input_size % 7 == 6 ? CW_FAILURE : CW_SUCCESS);
    reset_settings_for_tests();
    settings.defaults.sound_system = 1;
    settings.defaults.verbosity = DD;
    reset_to_defaults();
    word_mode = false;
    empty_message_buffer();
    ptt_flags_clear_all();
    reset_devices_for_tests();
    current_device.store(&null_device);
    reset_generator();
}

void check_invariants() {
    using namespace varkel;
    const ParameterSet& now = settings.current;
    check(!message_waiting(), "the message buffer is empty between datagrams");
    check((ptt_flags() & ~kAllPttFlags) == 0, "only the three PTT bits are ever set");
    check(now.wpm >= kWpmMin && now.wpm <= kWpmMax, "speed within range");
    check(now.tone >= kToneMin && now.tone <= kToneMax, "tone within range");
    check(now.volume >= kVolumeMin && now.volume <= kVolumeMax, "volume within range");
    check(now.ptt_delay >= kPttDelayMin && now.ptt_delay <= kPttDelayMax, "delay within range");
    check(now.weighting >= kWeightingMin && now.weighting <= kWeightingMax, "weighting in range");
    check(now.sound_system >= 1 && now.sound_system <= 6, "sound system within range");
    check(current_device.load() == &null_device, "the null device stays current");
    check(!device_key_is_down(), "the key is up once the queue has drained");
}

// libcw plays what was queued: a key edge, then the queue falls to the
// watermark. Branch 2 may queue two silent tones to be called once more.
void drain_queue() {
    varkel::keying_callback(nullptr, 1);
    varkel::keying_callback(nullptr, 0);
    for (int call = 0; call < 2; ++call) {
        fake_libcw::fire_low_queue();
    }
}

void handle_one(const uint8_t* data, size_t size) {
    if (size > varkel::kReceiveSize) {
        size = varkel::kReceiveSize;  // what the receive call would keep
    }
    std::vector<uint8_t> datagram(data, data + size);
    if (size >= 2 && datagram[0] == varkel::kEscape) {
        if (datagram[1] == '5') {
            return;  // would end the fuzzer
        }
        if (datagram[1] == '8') {
            // Device names are probed under /dev; only the harmless one is
            // ever opened here.
            static constexpr char kNull[] = "null";
            datagram.resize(2);
            datagram.insert(datagram.end(), kNull, kNull + sizeof kNull - 1);
        }
    }
    // Exactly as long as the receive step needs (the bytes and its NUL), so
    // that a read past the end is caught.
    std::vector<char> buffer(datagram.begin(), datagram.end());
    buffer.push_back('\x55');
    varkel::handle_datagram(buffer.data(), datagram.size());
    drain_queue();
    check_invariants();
}

}  // namespace

// The PTT delay would sleep up to 50 ms per transmission; the fuzzing thread
// does not wait. libFuzzer's own threads sleep as usual.
extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (g_fuzz_thread_known && pthread_equal(pthread_self(), g_fuzz_thread) != 0) {
        return 0;
    }
    using Nanosleep = int (*)(const struct timespec*, struct timespec*);
    static const auto real = reinterpret_cast<Nanosleep>(dlsym(RTLD_NEXT, "nanosleep"));
    return real(request, remaining);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    set_up_once();
    reset_daemon_state(size);
    size_t datagrams = 0;
    const uint8_t* start = data;
    const uint8_t* end = data + size;
    while (start <= end && datagrams < kMaxDatagrams) {
        const uint8_t* stop = static_cast<const uint8_t*>(
            memchr(start, kDatagramSeparator, static_cast<size_t>(end - start)));
        if (stop == nullptr) {
            stop = end;
        }
        handle_one(start, static_cast<size_t>(stop - start));
        ++datagrams;
        start = stop + 1;
    }
    return 0;
}
