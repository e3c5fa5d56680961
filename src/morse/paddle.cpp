#include "morse/paddle.h"

#include <libcw.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "core/alternate_signal_stack.h"
#include "core/logging.h"
#include "core/realtime_scheduling.h"
#include "core/settings.h"
#include "devices/keying_device.h"
#include "devices/paddle_lines.h"
#include "devices/serial_port_io.h"
#include "morse/generator.h"
#include "morse/iambic_keyer.h"
#include "morse/key_line_clock.h"
#include "morse/output.h"
#include "morse/ptt.h"

namespace varkel {

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr int64_t kNanosecondsPerMicrosecond = 1'000;
// While the paddle sends, its lines are read this often.
constexpr int64_t kPollMicroseconds = 1'000;
// A contact that has changed is taken at once; it is read again only this
// much later, so that the bounce after a closure or an opening is never
// taken for a second closure (a contact bounces for a few milliseconds).
constexpr int64_t kBounceMicroseconds = 5'000;
// The next element is chosen this long before it is due, so that it is
// queued while libcw still keys the space before it and follows that space
// without a gap: this thread, woken from a halted processor or waiting
// behind the key line's spin to its edge, can come a few tenths late, and
// a hand on a paddle moves in tens of milliseconds.
constexpr int64_t kDecisionLeadMicroseconds = 1'000;
// How often a closure that broke into a transmission looks whether the
// main thread has stopped it.
constexpr int64_t kBreakInPollMicroseconds = 100;
// A word space is seven dots.
constexpr int64_t kDotsPerWordSpace = 7;
// The FTDI adapter's latency timer above which line changes come late.
constexpr int kLatencyTimerLimitMs = 2;
// Reads of the counters around TIOCMGET before the lines are taken as they
// are even though they were changing.
constexpr int kSampleAttempts = 3;
// How many times, a millisecond apart, the thread is signalled until it
// has seen a new device or ended.
constexpr int kSignalAttempts = 2000;
// Two silent tones make libcw call the low-queue callback once more, which
// then drops automatic PTT after the paddle.
constexpr int kSilentToneMicroseconds = 1;

pthread_t g_thread{};
std::atomic<bool> g_running{false};
std::atomic<bool> g_stop{false};
int g_event_fd = -1;  // written at start-up, before the thread exists

// The closure that broke into a transmission, and the main thread's answer.
std::atomic<bool> g_break_in_requested{false};
std::atomic<bool> g_break_in_done{false};
// Until when (microseconds, monotonic) the paddle is in use: INT64_MAX
// while it sends, the end of the word space after its last element after
// that, 0 when idle. Written by the thread, read by the main thread and the
// low-queue callback.
std::atomic<int64_t> g_in_use_until{0};
std::atomic<bool> g_sending{false};
// Set by the main thread while it queues a text.
std::atomic<bool> g_text_queueing{false};
// The device selection the thread has last looked at.
std::atomic<uint32_t> g_seen_generation{0};
// The PTT delay in ms, as the main thread's settings have it.
std::atomic<int> g_ptt_delay_ms{0};

int wake_signal() {
    return SIGRTMIN + 1;
}

extern "C" void on_wake_signal(int) {
    // Only ends the thread's wait with EINTR.
}

int64_t now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kMicrosecondsPerSecond + now.tv_nsec / kNanosecondsPerMicrosecond;
}

void sleep_until_us(int64_t deadline) {
    const timespec until{
        static_cast<time_t>(deadline / kMicrosecondsPerSecond),
        static_cast<long>(deadline % kMicrosecondsPerSecond * kNanosecondsPerMicrosecond)};
    // A signal ends the sleep early: the caller looks at why and sleeps on.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

void notify_main_thread() {
    const uint64_t one = 1;
    const ssize_t written = write(g_event_fd, &one, sizeof one);
    (void)written;
}

int count_of(const InputLineCounts& counts, int line) {
    switch (line) {
        case TIOCM_CTS:
            return counts.cts;
        case TIOCM_DSR:
            return counts.dsr;
        case TIOCM_CAR:
            return counts.dcd;
        default:
            return counts.ri;
    }
}

struct Sample {
    int bits = 0;
    InputLineCounts counts{};
};

// The lines and their transition counters, read so that the lines belong
// to the counts: the counters are read on both sides of TIOCMGET. False
// when the port no longer answers.
bool take_sample(int fd, Sample& sample) {
    for (int attempt = 0; attempt < kSampleAttempts; ++attempt) {
        InputLineCounts before{};
        // A driver without counters still reports the lines.
        const bool counted = serial_port_io.get_input_counts(fd, &before) == 0;
        if (!counted && errno != ENOTTY && errno != EINVAL) {
            return false;
        }
        if (serial_port_io.get_modem_lines(fd, &sample.bits) == -1) {
            return false;
        }
        InputLineCounts after{};
        const bool counted_after = counted && serial_port_io.get_input_counts(fd, &after) == 0;
        sample.counts = counted_after ? after : before;
        if (!counted || (counted_after && after == before)) {
            return true;
        }
    }
    // Still changing: the lines as last read, the counts after them.
    return true;
}

// One contact as the keyer sees it.
struct Contact {
    int line = 0;
    bool closed = false;     // as last taken
    int64_t settled_at = 0;  // not read again before this
    bool ignored = false;    // read closed when the paddle became active
};

// Takes a contact's new reading at now; moved: its transitions since the
// last reading (two or more while it reads open: it was tapped).
void take_reading(Contact& contact, bool closed, int moved, int64_t now) {
    if (contact.ignored) {
        if (closed && moved == 0) {
            return;  // still the closure it had when the paddle became active
        }
        // It has opened; closed again, that is a new closure.
        contact.ignored = false;
    }
    if (now < contact.settled_at) {
        return;
    }
    if (moved >= 2 && !closed && !contact.closed) {
        closed = true;  // the opening is read after the bounce time
    }
    if (closed != contact.closed) {
        contact.closed = closed;
        contact.settled_at = now + kBounceMicroseconds;
    }
}

// The key line's Morse as libcw has it now; the caller holds
// generator_life_mutex.
KeyerTiming current_timing() {
    int dot = 0;
    int dash = 0;
    int element_space = 0;
    cw_get_send_parameters(&dot, &dash, &element_space, nullptr, nullptr, nullptr, nullptr);
    return {.dot = dot, .dash = dash, .space = element_space};
}

class PaddlePort {
  public:
    explicit PaddlePort(const SerialPortView& port) : port_(port) {
        dit_.line = paddle_lines.dit;
        dah_.line = paddle_lines.dah;
        keyer_reset(keyer_, paddle_lines.iambic_a ? KeyerMode::iambic_a : KeyerMode::iambic_b);
    }

    // Reads the paddle until the device changes or the thread is to end.
    void serve();

  private:
    bool activate();
    bool changed_away() const { return g_stop.load() || device_generation() != port_.generation; }
    bool sample_or_fail(Sample& sample);
    void read_contacts(const Sample& sample, const InputLineCounts& since, int64_t now);
    void feed_keyer(int64_t now);
    bool begin_sequence();
    // Returns when the paddle's first element may begin at the earliest.
    int64_t break_in();
    void choose_next();
    void queue(KeyerElement element);
    void end_use();
    void stop_after_abort();
    void wait_idle();
    void poll_step();

    SerialPortView port_;
    Contact dit_;
    Contact dah_;
    IambicKeyer keyer_;
    KeyerTiming timing_{};
    bool waits_supported_ = true;
    bool lingering_ = false;
    int64_t linger_end_ = 0;
    uint32_t abort_count_ = 0;
    InputLineCounts counts_{};
};

bool PaddlePort::sample_or_fail(Sample& sample) {
    if (take_sample(port_.fd, sample)) {
        return true;
    }
    if (changed_away()) {
        return false;  // the port was closed by a new selection
    }
    // As for a failed key or PTT request: the adapter has gone.
    error_report("Ioctl serial port %s", port_.name.c_str());
    end_on_device_failure();
    g_stop.store(true);
    return false;
}

bool PaddlePort::activate() {
    if (serial_port_io.set_low_latency(port_.fd) == -1) {
        debug_log(DD, "paddle: %s keeps its latency (TIOCSSERIAL: %s)", port_.name.c_str(),
                  strerror(errno));
    }
    const std::string path = "/dev/" + port_.name;
    const int latency = serial_port_io.latency_timer_ms(path.c_str());
    if (latency > kLatencyTimerLimitMs) {
        debug_log(WW,
                  "paddle: %s reports its lines only every %d ms: write 1 to its "
                  "device/latency_timer under /sys/class/tty",
                  port_.name.c_str(), latency);
    }
    hold_serial_supply(port_.generation);
    Sample sample;
    if (!sample_or_fail(sample)) {
        return false;
    }
    counts_ = sample.counts;
    for (Contact* contact : {&dit_, &dah_}) {
        if ((sample.bits & contact->line) != 0) {
            contact->ignored = true;
            debug_log(WW, "paddle: contact on %s is closed, ignored until it opens",
                      input_line_name(contact->line));
        }
    }
    debug_log(II, "paddle active on %s: dit on %s, dah on %s, %s", port_.name.c_str(),
              input_line_name(dit_.line), input_line_name(dah_.line),
              paddle_lines.iambic_a ? "iambic-a" : "iambic-b");
    return true;
}

void PaddlePort::read_contacts(const Sample& sample, const InputLineCounts& since, int64_t now) {
    for (Contact* contact : {&dit_, &dah_}) {
        const bool closed = (sample.bits & contact->line) != 0;
        const int moved = count_of(sample.counts, contact->line) - count_of(since, contact->line);
        take_reading(*contact, closed, moved, now);
    }
    counts_ = sample.counts;
}

void PaddlePort::queue(KeyerElement element) {
    std::unique_lock<std::mutex> lock(generator_life_mutex, std::try_to_lock);
    if (!lock.owns_lock() || !generator_ready.load()) {
        return;  // a new generator is being made: this element is not keyed
    }
    // After an abort nothing is queued; the next reading stops the keyer.
    (void)output_paddle_element(element == KeyerElement::dash,
                                static_cast<int>(keyer_element_length(element, timing_)),
                                static_cast<int>(timing_.space), abort_count_);
}

int64_t PaddlePort::break_in() {
    const bool key_was_down = device_key_is_down();
    // The key goes up now; the main thread drops the rest as request 4 does.
    key_line_cut_begin();
    device_key(current_device.load(), 0);
    const int64_t cut = now_us();
    g_break_in_done.store(false);
    g_break_in_requested.store(true);
    notify_main_thread();
    // A new selection ends the wait too: the main thread may be waiting in
    // it for this thread to see the new device.
    while (!g_break_in_done.load() && !changed_away()) {
        sleep_until_us(now_us() + kBreakInPollMicroseconds);
    }
    // Cut inside an element: one element space before the paddle's first.
    return key_was_down ? cut + timing_.space : 0;
}

bool PaddlePort::begin_sequence() {
    {
        std::unique_lock<std::mutex> lock(generator_life_mutex, std::try_to_lock);
        if (!lock.owns_lock() || !generator_ready.load()) {
            return false;
        }
        timing_ = current_timing();
    }
    // In use first, then the look at a text: the main thread marks a text
    // first and then looks at the paddle, so one of the two sees the other.
    g_in_use_until.store(INT64_MAX);
    g_sending.store(true);
    lingering_ = false;
    bool busy = g_text_queueing.load() || device_key_is_down() || output_tune_running();
    if (!busy) {
        std::unique_lock<std::mutex> lock(generator_life_mutex, std::try_to_lock);
        busy = lock.owns_lock() && cw_get_tone_queue_length() > 0;
    }
    const int64_t earliest = busy ? break_in() : 0;
    if (changed_away()) {
        return false;
    }
    // The whole sequence waits for PTT's delay; nothing is shortened.
    ptt_auto_on_with_delay(current_device.load(), "PTT (paddle) on", g_ptt_delay_ms.load());
    sleep_until_us(earliest);
    abort_count_ = output_abort_count();
    return true;
}

void PaddlePort::feed_keyer(int64_t now) {
    if (dit_.closed == keyer_.dit && dah_.closed == keyer_.dah) {
        return;
    }
    if (!keyer_.sending && (dit_.closed || dah_.closed)) {
        if (!begin_sequence()) {
            return;
        }
        // Started after a break-in or PTT's delay: from then on.
        now = now_us();
    }
    const KeyerElement element = keyer_paddles(keyer_, dit_.closed, dah_.closed, now, timing_);
    if (element != KeyerElement::none) {
        queue(element);
    }
}

void PaddlePort::choose_next() {
    KeyerElement element = KeyerElement::none;
    {
        std::unique_lock<std::mutex> lock(generator_life_mutex, std::try_to_lock);
        if (lock.owns_lock() && generator_ready.load()) {
            timing_ = current_timing();
        }
    }
    element = keyer_at_due(keyer_, timing_);
    if (element != KeyerElement::none) {
        queue(element);
        return;
    }
    // Idle now; in use until a word space after the last element.
    g_sending.store(false);
    lingering_ = true;
    linger_end_ = keyer_.element_end + kDotsPerWordSpace * timing_.dot;
    g_in_use_until.store(linger_end_);
}

void PaddlePort::end_use() {
    lingering_ = false;
    g_sending.store(false);
    g_in_use_until.store(0);
    notify_main_thread();  // a text may have waited
    if ((ptt_flags() & PTT_ACTIVE_AUTO) != 0) {
        std::unique_lock<std::mutex> lock(generator_life_mutex, std::try_to_lock);
        if (lock.owns_lock() && generator_ready.load()) {
            cw_queue_tone(kSilentToneMicroseconds, 0);
            cw_queue_tone(kSilentToneMicroseconds, 0);
        }
    }
}

void PaddlePort::stop_after_abort() {
    // Request 4 or c0 stopped the element: the keyer starts again only from
    // a new closure.
    keyer_reset(keyer_, keyer_.mode);
    for (Contact* contact : {&dit_, &dah_}) {
        contact->ignored = contact->closed;
        contact->closed = false;
    }
    lingering_ = false;
    g_sending.store(false);
    g_in_use_until.store(0);
    notify_main_thread();
}

void PaddlePort::poll_step() {
    int64_t wake = now_us() + kPollMicroseconds;
    if (keyer_.sending && keyer_.due - kDecisionLeadMicroseconds < wake) {
        wake = keyer_.due - kDecisionLeadMicroseconds;
    }
    if (lingering_ && linger_end_ < wake) {
        wake = linger_end_;
    }
    sleep_until_us(wake);
    if (changed_away()) {
        return;
    }
    if (output_abort_count() != abort_count_) {
        stop_after_abort();
        return;
    }
    Sample sample;
    if (!sample_or_fail(sample)) {
        return;
    }
    const int64_t now = now_us();
    read_contacts(sample, counts_, now);
    feed_keyer(now);
    if (keyer_.sending && now >= keyer_.due - kDecisionLeadMicroseconds) {
        choose_next();
    }
    if (lingering_ && !keyer_.sending && now_us() >= linger_end_) {
        // The word space counts from the key-up on the line, which libcw
        // may have keyed a little after the keyer's own time.
        const int64_t key_up = output_last_key_up_us();
        const int64_t after_key_up = key_up + kDotsPerWordSpace * timing_.dot;
        if (device_key_is_down() || after_key_up > linger_end_) {
            linger_end_ = device_key_is_down() ? now_us() + kPollMicroseconds : after_key_up;
            g_in_use_until.store(linger_end_);
        } else {
            end_use();
        }
    }
}

void PaddlePort::wait_idle() {
    const InputLineCounts before = counts_;
    if (waits_supported_) {
        // The wait's reference is the counts when it begins; a change since
        // the sample that set counts_ shows in the counters afterwards.
        sigset_t wake{};
        sigemptyset(&wake);
        sigaddset(&wake, wake_signal());
        pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
        const int result =
            changed_away() ? 0 : serial_port_io.wait_modem_lines(port_.fd, dit_.line | dah_.line);
        const int wait_errno = errno;
        pthread_sigmask(SIG_BLOCK, &wake, nullptr);
        if (changed_away()) {
            return;
        }
        if (result == -1 && (wait_errno == ENOTTY || wait_errno == EINVAL)) {
            waits_supported_ = false;
            debug_log(WW,
                      "paddle: %s does not report line changes (TIOCMIWAIT: %s): reading the "
                      "lines every millisecond",
                      port_.name.c_str(), strerror(wait_errno));
        } else if (result == -1 && wait_errno != EINTR) {
            errno = wait_errno;
            error_report("Ioctl serial port %s", port_.name.c_str());
            end_on_device_failure();
            g_stop.store(true);
            return;
        }
    } else {
        sleep_until_us(now_us() + kPollMicroseconds);
    }
    Sample sample;
    if (!sample_or_fail(sample)) {
        return;
    }
    const int64_t now = now_us();
    read_contacts(sample, before, now);
    feed_keyer(now);
}

void PaddlePort::serve() {
    if (!activate()) {
        return;
    }
    while (!changed_away()) {
        if (keyer_.sending || lingering_ || now_us() < dit_.settled_at ||
            now_us() < dah_.settled_at) {
            poll_step();
        } else {
            wait_idle();
        }
    }
    if (keyer_.sending || lingering_ || g_sending.load()) {
        end_use();
    }
}

void* paddle_thread(void*) {
    use_alternate_signal_stack();
    bool inactive_logged = false;
    sigset_t wait_mask{};
    pthread_sigmask(SIG_BLOCK, nullptr, &wait_mask);
    sigdelset(&wait_mask, wake_signal());
    while (!g_stop.load()) {
        SerialPortView port{};
        const bool serial = current_serial_port(port);
        g_seen_generation.store(port.generation);
        if (!serial) {
            if (!inactive_logged) {
                debug_log(WW, "paddle inactive: the keying device is not a serial port");
                inactive_logged = true;
            }
            // Until a selection or the end signals this thread.
            if (!g_stop.load() && device_generation() == port.generation) {
                sigsuspend(&wait_mask);
            }
            continue;
        }
        inactive_logged = false;
        PaddlePort paddle(port);
        paddle.serve();
    }
    return nullptr;
}

// Signals the thread until done says it has seen why.
template <typename Done>
void signal_thread_until(Done done) {
    for (int attempt = 0; attempt < kSignalAttempts && !done(); ++attempt) {
        pthread_kill(g_thread, wake_signal());
        const timespec pause{0, kPollMicroseconds * kNanosecondsPerMicrosecond};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

bool paddle_start() {
    if (paddle_lines.dit == 0) {
        return true;
    }
    g_event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g_event_fd == -1) {
        error_report("Paddle eventfd");
        return false;
    }
    // Without SA_RESTART: the signal must end a TIOCMIWAIT, not restart it.
    struct sigaction action {};
    action.sa_handler = on_wake_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(wake_signal(), &action, nullptr);
    // Blocked everywhere but in the thread's waits.
    sigset_t wake{};
    sigemptyset(&wake);
    sigaddset(&wake, wake_signal());
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    g_stop.store(false);
    paddle_settings_changed();
    int error = 0;
    {
        // The key line's priority, also where RealtimeKit granted it: its
        // grant is not inherited.
        RealtimeForNewThreads realtime("varkel paddle");
        error = pthread_create(&g_thread, nullptr, paddle_thread, nullptr);
    }
    if (error != 0) {
        errno = error;
        error_report("Paddle thread");
        return false;
    }
    g_running.store(true);
    return true;
}

void paddle_stop() {
    if (!g_running.exchange(false)) {
        return;
    }
    g_stop.store(true);
    bool joined = false;
    for (int attempt = 0; attempt < kSignalAttempts; ++attempt) {
        pthread_kill(g_thread, wake_signal());
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += kPollMicroseconds * kNanosecondsPerMicrosecond;
        if (deadline.tv_nsec >= kMicrosecondsPerSecond * kNanosecondsPerMicrosecond) {
            deadline.tv_nsec -= kMicrosecondsPerSecond * kNanosecondsPerMicrosecond;
            ++deadline.tv_sec;
        }
        if (pthread_timedjoin_np(g_thread, nullptr, &deadline) == 0) {
            joined = true;
            break;
        }
    }
    if (!joined) {
        debug_log(WW, "paddle: its thread did not end");
    }
}

void paddle_device_changed() {
    if (!g_running.load()) {
        return;
    }
    const uint32_t generation = device_generation();
    signal_thread_until([generation] { return g_seen_generation.load() == generation; });
}

void paddle_settings_changed() {
    g_ptt_delay_ms.store(settings.current.ptt_delay);
}

int paddle_event_fd() {
    return g_running.load() ? g_event_fd : -1;
}

void paddle_clear_events() {
    uint64_t count = 0;
    const ssize_t got = read(g_event_fd, &count, sizeof count);
    (void)got;
}

bool paddle_take_break_in() {
    return g_break_in_requested.exchange(false);
}

void paddle_break_in_done() {
    g_break_in_done.store(true);
}

bool paddle_text_may_start() {
    g_text_queueing.store(true);
    if (now_us() < g_in_use_until.load()) {
        g_text_queueing.store(false);
        return false;
    }
    return true;
}

void paddle_text_queued() {
    g_text_queueing.store(false);
}

bool paddle_holds_ptt() {
    return now_us() < g_in_use_until.load();
}

bool paddle_sending() {
    return g_sending.load();
}

}  // namespace varkel
