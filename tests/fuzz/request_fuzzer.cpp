// Arbitrary datagrams through the daemon's request path: the receive step's
// clean-up and dispatch, the text player and every escape request, with the
// null keying device. Built twice:
//   request_fuzzer    with the recording libcw stand-in, which reports what
//                     a test chooses (queue lengths, failing sound systems);
//   libcw_fuzzer      (VARKEL_FUZZ_REAL_LIBCW) with the real libcw on its
//                     null sound system, so that every byte the network
//                     hands to the library reaches the library's own code.
//
// An input is a sequence of datagrams separated by the byte 0x1e; after
// each one the queue drains (reported by the stand-in, or played by libcw).
// Besides the sanitizers, the invariants every request must keep are
// checked after each datagram. Device names are looked up for real, but no
// port is ever opened: a name that reaches open must be a serial or ppdev
// node under /dev.
#include <dlfcn.h>
#include <fcntl.h>
#include <libcw.h>
#include <libcw2.h>
#include <link.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
#include "devices/parallel_port_io.h"
#include "devices/serial_port_io.h"
#include "morse/callbacks.h"
#include "morse/generator.h"
#include "morse/key_line_clock.h"
#include "morse/ptt.h"
#include "morse/sidetone_io.h"
#include "net/escape_requests.h"
#include "net/udp_endpoint.h"
#ifndef VARKEL_FUZZ_REAL_LIBCW
#include "support/fake_libcw.h"
#endif

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

// The probes' open: nothing is opened, but what would be must be a serial
// terminal or a ppdev port under /dev (checked here independently of the
// daemon's own look-up).
int refuse_open(const char* path, int /*flags*/) {
    struct stat status {};
    check(strncmp(path, "/dev/", 5) == 0 && strstr(path, "/../") == nullptr &&
              stat(path, &status) == 0 && S_ISCHR(status.st_mode),
          "only character devices under /dev reach open");
    char entry[64];
    char target[256] = {};
    snprintf(entry, sizeof entry, "/sys/dev/char/%u:%u/subsystem", major(status.st_rdev),
             minor(status.st_rdev));
    const ssize_t length = readlink(entry, target, sizeof target - 1);
    const char* name = length > 0 ? strrchr(target, '/') : nullptr;
    check(name != nullptr && (strcmp(name, "/tty") == 0 || strcmp(name, "/ppdev") == 0),
          "only terminals and ppdev ports reach open");
    errno = EACCES;
    return -1;
}

#ifdef VARKEL_FUZZ_REAL_LIBCW

// The real library, apart from the generators' life: creating one costs
// libcw 0.1 s and stopping one 1 s of sleeping, so one generator on the null
// sound system is made at set-up and kept for the key line, and one for the
// sidetone. The daemon's create, start, stop and delete calls land here
// instead; every other call reaches libcw.
using GeneratorNew = int (*)(int, const char*);
using GeneratorStart = int (*)();
int g_generator_new_result[CW_AUDIO_SOUNDCARD + 1];

// libcw's null sound system sleeps each tone's length, and waits are paced
// by it: once the generator runs, libcw's sleeps return at once, so a text
// plays in microseconds while every callback still runs on libcw's thread.
// The sleeps are told by the caller's address: libcw's code is
// [g_libcw_start, g_libcw_end), set once before any sleep is skipped.
uintptr_t g_libcw_start = 0;
uintptr_t g_libcw_end = 0;
std::atomic<bool> g_skip_libcw_sleeps{false};

bool called_from_libcw(const void* caller) {
    const auto address = reinterpret_cast<uintptr_t>(caller);
    return g_skip_libcw_sleeps.load() && address >= g_libcw_start && address < g_libcw_end;
}

// Finds the executable segment of the object that holds address.
int find_code_of(struct dl_phdr_info* object, size_t /*size*/, void* data) {
    const uintptr_t wanted = *static_cast<uintptr_t*>(data);
    for (int index = 0; index < object->dlpi_phnum; ++index) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[index];
        const uintptr_t start = object->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0 && wanted >= start &&
            wanted < start + segment.p_memsz) {
            g_libcw_start = start;
            g_libcw_end = start + segment.p_memsz;
            return 1;
        }
    }
    return 0;
}

// The sidetone's generator and tuning key, made once like the key line's,
// on the null sound system: whatever the daemon would have heard goes
// through libcw's second API for real. Sound systems the daemon asks for
// open or fail as for the key line's generator above.
cw_gen_t* g_sidetone = nullptr;
cw_key_t* g_sidetone_key = nullptr;

cw_gen_t* kept_sidetone(const cw_gen_config_t* config) {
    const int system = static_cast<int>(config->sound_system);
    check(system >= CW_AUDIO_NULL && system <= CW_AUDIO_SOUNDCARD,
          "only libcw's own sound systems are asked for");
    check(config->sound_device[0] == '\0', "no device name reaches libcw");
    return g_generator_new_result[system] == CW_SUCCESS ? g_sidetone : nullptr;
}

cw_ret_t kept_sidetone_started(cw_gen_t* /*generator*/) {
    return CW_SUCCESS;
}

cw_ret_t kept_sidetone_stopped(cw_gen_t* generator) {
    cw_gen_flush_queue(generator);
    cw_key_sk_set_value(g_sidetone_key, CW_KEY_VALUE_OPEN);
    return CW_SUCCESS;
}

void kept_sidetone_deleted(cw_gen_t** generator) {
    *generator = nullptr;
}

cw_key_t* kept_key() {
    return g_sidetone_key;
}

void kept_key_registered(volatile cw_key_t* /*key*/, cw_gen_t* /*generator*/) {}

void kept_key_deleted(cw_key_t** key) {
    *key = nullptr;
}

void start_real_sidetone() {
    cw_gen_config_t config{};
    config.sound_system = CW_AUDIO_NULL;
    g_sidetone = cw_gen_new(&config);
    g_sidetone_key = cw_key_new();
    check(g_sidetone != nullptr && g_sidetone_key != nullptr && cw_gen_start(g_sidetone) != 0,
          "libcw makes a second generator on the null sound system");
    cw_key_register_generator(g_sidetone_key, g_sidetone);
    varkel::sidetone_io = {
        .gen_new = kept_sidetone,
        .gen_start = kept_sidetone_started,
        .gen_stop = kept_sidetone_stopped,
        .gen_delete = kept_sidetone_deleted,
        .key_new = kept_key,
        .key_register_generator = kept_key_registered,
        .key_delete = kept_key_deleted,
    };
}

void start_real_generator() {
    start_real_sidetone();
    const auto real_new = reinterpret_cast<GeneratorNew>(dlsym(RTLD_NEXT, "cw_generator_new"));
    const auto real_start =
        reinterpret_cast<GeneratorStart>(dlsym(RTLD_NEXT, "cw_generator_start"));
    check(real_new != nullptr && real_start != nullptr, "libcw is linked");
    uintptr_t inside = reinterpret_cast<uintptr_t>(real_new);
    check(dl_iterate_phdr(find_code_of, &inside) == 1, "libcw's code is found");
    check(real_new(CW_AUDIO_NULL, nullptr) == CW_SUCCESS && real_start() == CW_SUCCESS,
          "libcw makes a generator on the null sound system");
    g_skip_libcw_sleeps.store(true);
    // libcw's sleeps of its tones come to the daemon's own clock.
    varkel::libcw_sleep.store([](int) {});
}

void reset_library(size_t input_size) {
    // Sound systems that cannot be opened here fail, up to no generator at
    // all now and then; OSS fails without its retries' sleeps.
    for (int& result : g_generator_new_result) {
        result = CW_FAILURE;
    }
    g_generator_new_result[CW_AUDIO_NULL] = input_size % 7 == 6 ? CW_FAILURE : CW_SUCCESS;
    g_generator_new_result[CW_AUDIO_PA] = input_size % 3 == 0 ? CW_SUCCESS : CW_FAILURE;
    cw_flush_tone_queue();
    cw_wait_for_tone_queue();
}

unsigned no_retry_sleep(unsigned /*seconds*/) {
    return 0;
}

#else

void reset_library(size_t input_size) {
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
}

#endif

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
    varkel::serial_port_io.open = refuse_open;
    varkel::parallel_port_io.open = refuse_open;
#ifdef VARKEL_FUZZ_REAL_LIBCW
    varkel::oss_retry_sleep = no_retry_sleep;
    start_real_generator();
#endif
}

void reset_daemon_state(size_t input_size) {
    using namespace varkel;
    reset_library(input_size);
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

#ifdef VARKEL_FUZZ_REAL_LIBCW

// libcw plays what was queued; its last key-up follows the emptying of the
// queue on libcw's thread.
void drain_queue() {
    constexpr int kKeyUpWaitSpins = 2000000;
    cw_wait_for_tone_queue();
    for (int spin = 0; spin < kKeyUpWaitSpins && varkel::device_key_is_down(); ++spin) {
        sched_yield();
    }
}

#else

// libcw plays what was queued: a key edge, then the queue falls to the
// watermark. Branch 2 may queue two silent tones to be called once more.
void drain_queue() {
    varkel::keying_callback(nullptr, 1);
    varkel::keying_callback(nullptr, 0);
    for (int call = 0; call < 2; ++call) {
        fake_libcw::fire_low_queue();
    }
}

#endif

void handle_one(const uint8_t* data, size_t size) {
    if (size > varkel::kReceiveSize) {
        size = varkel::kReceiveSize;  // what the receive call would keep
    }
    std::vector<uint8_t> datagram(data, data + size);
    if (size >= 2 && datagram[0] == varkel::kEscape && datagram[1] == '5') {
        return;  // would end the fuzzer
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
// does not wait, nor does libcw once its generator runs. libFuzzer's own
// threads sleep as usual.
extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (g_fuzz_thread_known && pthread_equal(pthread_self(), g_fuzz_thread) != 0) {
        return 0;
    }
#ifdef VARKEL_FUZZ_REAL_LIBCW
    if (called_from_libcw(__builtin_return_address(0))) {
        return 0;
    }
#endif
    using Nanosleep = int (*)(const struct timespec*, struct timespec*);
    static const auto real = reinterpret_cast<Nanosleep>(dlsym(RTLD_NEXT, "nanosleep"));
    return real(request, remaining);
}

#ifdef VARKEL_FUZZ_REAL_LIBCW

extern "C" int usleep(useconds_t microseconds) {
    if (called_from_libcw(__builtin_return_address(0))) {
        return 0;
    }
    using Usleep = int (*)(useconds_t);
    static const auto real = reinterpret_cast<Usleep>(dlsym(RTLD_NEXT, "usleep"));
    return real(microseconds);
}

extern "C" int cw_generator_new(int audio_system, const char* device) {
    check(audio_system >= CW_AUDIO_NULL && audio_system <= CW_AUDIO_SOUNDCARD,
          "only libcw's own sound systems are asked for");
    check(device == nullptr, "no device name reaches libcw");
    return g_generator_new_result[audio_system];
}

extern "C" int cw_generator_start() {
    return CW_SUCCESS;
}

extern "C" void cw_generator_stop() {
    cw_flush_tone_queue();
    cw_wait_for_tone_queue();
}

extern "C" void cw_generator_delete() {}

#endif

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
