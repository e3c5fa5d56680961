#include "core/log_handoff.h"

#include <atomic>
#include <cstdio>

#include "core/logging.h"

namespace varkel {

namespace {

static_assert((kHandedOverLines & (kHandedOverLines - 1)) == 0, "a power of two");

// A place's turn tells whose it is: 2 * lap while free for the line of that
// lap, 2 * lap + 1 once that line is published. Positions count lines for
// ever (64 bits do not wrap); a position's place and lap follow from it.
struct Place {
    std::atomic<uint64_t> turn{0};
    int level = 0;
    char message[kLogMessageSize] = {};
};

Place g_places[kHandedOverLines];
std::atomic<uint64_t> g_next_to_fill{0};
std::atomic<uint64_t> g_dropped{0};

// The reader's position, and who reads: only the holder of g_reading.
std::atomic<bool> g_reading{false};
uint64_t g_next_to_read = 0;  // guarded by g_reading

uint64_t lap_of(uint64_t position) {
    return position / kHandedOverLines;
}

Place& place_of(uint64_t position) {
    return g_places[position % kHandedOverLines];
}

}  // namespace

bool hand_over_log_line(int level, const char* format, va_list args) noexcept {
    uint64_t position = g_next_to_fill.load(std::memory_order_relaxed);
    for (;;) {
        const uint64_t free_turn = 2 * lap_of(position);
        const uint64_t turn = place_of(position).turn.load(std::memory_order_acquire);
        if (turn == free_turn) {
            if (g_next_to_fill.compare_exchange_weak(position, position + 1,
                                                     std::memory_order_relaxed)) {
                break;
            }
        } else if (turn < free_turn) {
            // The line of the lap before is still unread: the ring is full.
            g_dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            position = g_next_to_fill.load(std::memory_order_relaxed);
        }
    }
    Place& place = place_of(position);
    place.level = level;
    vsnprintf(place.message, sizeof place.message, format, args);
    place.turn.store(2 * lap_of(position) + 1, std::memory_order_release);
    return true;
}

uint64_t take_handed_over_lines(HandedOverLineWriter write) {
    if (g_reading.exchange(true, std::memory_order_acquire)) {
        return 0;
    }
    for (;;) {
        Place& place = place_of(g_next_to_read);
        const uint64_t lap = lap_of(g_next_to_read);
        // A line still being written stops the reading here; the next
        // call takes it, after its writer's wake-up.
        if (place.turn.load(std::memory_order_acquire) != 2 * lap + 1) {
            break;
        }
        write(place.level, place.message);
        place.turn.store(2 * (lap + 1), std::memory_order_release);
        ++g_next_to_read;
    }
    const uint64_t dropped = g_dropped.exchange(0, std::memory_order_relaxed);
    g_reading.store(false, std::memory_order_release);
    return dropped;
}

void reset_log_handoff_for_tests() {
    take_handed_over_lines([](int, const char*) {});
}

}  // namespace varkel
