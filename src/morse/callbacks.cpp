#include "morse/callbacks.h"

#include <mutex>

#include "core/alternate_signal_stack.h"
#include "core/logging.h"
#include "devices/keying_device.h"
#include "morse/generator.h"
#include "morse/key_line_clock.h"
#include "morse/libcw_api.h"
#include "morse/output.h"
#include "morse/paddle.h"
#include "morse/ptt.h"
#include "morse/ptt_hold.h"
#include "morse/ptt_internal.h"
// The one call up the stack: the low-queue callback sends the echo through
// the endpoint and reads its message buffer, which the endpoint owns.
#include "net/udp_endpoint.h"

namespace varkel {

std::atomic<int32_t> short_timeout_counter{9999};

namespace {

// The queue length at which libcw calls the low-queue callback.
constexpr int kLowQueueWatermark = 1;
// Two silent tones make libcw call the low-queue callback once more after
// an echo, so that automatic PTT is dropped then.
constexpr int kEmptyToneMicroseconds = 1;
constexpr int kEmptyToneFrequency = 0;

void log_flags(const char* format, uint8_t flags) {
    debug_log(II, format, flags, ptt_flag_text(flags).data());
}

void log_length_and_flags(const char* format, int length) {
    const uint8_t flags = ptt_flags();
    debug_log(II, format, length, flags, ptt_flag_text(flags).data());
}

// Branch 1: decided and done under the PTT decision lock, so that no text
// can start with PTT still counted as on while this drops it. True when
// PTT was dropped; flags then holds the value read at the decision.
bool drop_automatic_ptt(uint8_t& flags) {
    std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
    flags = ptt_flags();
    if (flags != PTT_ACTIVE_AUTO || sending_pending()) {
        return false;
    }
    const int length = cw_get_tone_queue_length();
    flags = ptt_flags();
    if (length > kLowQueueWatermark) {
        return false;
    }
    log_flags("low TQ callback: branch 1, PTT flag = 0x%02x/%s", flags);
    if (!ptt_hold_begin_locked()) {
        ptt_off_locked(current_device.load(), "PTT (auto) off");
    }
    return true;
}

void send_pending_echo(uint8_t flags) {
    log_flags("low TQ callback: branch 2, PTT flag = 0x%02x/%s", flags);
    flags = ptt_flags_clear(PTT_ACTIVE_ECHO);
    log_flags("low TQ callback: PTT flag -PTT_ACTIVE_ECHO, PTT flag = 0x%02x/%s", flags);
    char reply[kReplyBufferSize];
    copy_reply_text(reply, sizeof reply);
    debug_log(II, "low TQ callback: echoing \"%s\" back to client             <----------", reply);
    send_echo_reply();
    if (ptt_flags() == PTT_ACTIVE_AUTO) {
        debug_log(II, "low TQ callback: queueing two empty tones");
        cw_queue_tone(kEmptyToneMicroseconds, kEmptyToneFrequency);
        cw_queue_tone(kEmptyToneMicroseconds, kEmptyToneFrequency);
    }
}

}  // namespace

bool sending_pending() {
    return message_waiting() || tune_being_queued() || paddle_holds_ptt();
}

void keying_callback(void*, int key_state) noexcept {
    // libcw started this thread: the first edge gives it what the main
    // thread set up for itself.
    use_alternate_signal_stack();
    key_line_clock_mark_thread();
    KeyingDevice* device = current_device.load();
    if (key_state != 1) {
        device_key(device, 0);
        output_key_edge(0);
    } else if (device_key_down_unless(device, key_line_cut_active)) {
        // An abort has lifted the key for good: libcw's key-downs until its
        // flush are the dropped Morse's.
        output_key_edge(1);
    }
    short_timeout_counter.store(0);
    debug_log(II, "keying event \"%d\"", key_state);
}

void low_queue_callback(void*) noexcept {
    use_alternate_signal_stack();
    const int length = cw_get_tone_queue_length();
    log_length_and_flags("low TQ callback: start, TQ len = %d, PTT flag = 0x%02x/%s", length);
    if (length > kLowQueueWatermark) {
        debug_log(II, "low TQ callback: TQ len larger than watermark, TQ len = %d", length);
    }
    uint8_t flags = 0;
    if (!drop_automatic_ptt(flags)) {
        if ((flags & PTT_ACTIVE_ECHO) != 0) {
            send_pending_echo(flags);
        } else {
            log_flags("low TQ callback: branch 3, PTT flag = 0x%02x/%s", flags);
        }
    }
    log_length_and_flags("low TQ callback: end, TQ len = %d, PTT flag = 0x%02x/%s",
                         cw_get_tone_queue_length());
}

}  // namespace varkel
