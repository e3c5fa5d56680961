#include "core/realtime_kit_io.h"

#include <cerrno>

namespace varkel {

namespace {

constexpr const char kService[] = "org.freedesktop.RealtimeKit1";
constexpr const char kObject[] = "/org/freedesktop/RealtimeKit1";
constexpr const char kInterface[] = "org.freedesktop.RealtimeKit1";
// A bus that answers slowly must not hold start-up for sd-bus's default 25 s.
constexpr uint64_t kCallTimeoutMicroseconds = 2'000'000;

int open_system_bus(sd_bus** bus) {
    const int result = sd_bus_open_system(bus);
    if (result >= 0) {
        sd_bus_set_method_call_timeout(*bus, kCallTimeoutMicroseconds);
    }
    return result;
}

// The errno of a failed call, also when the service's error has none.
int call_result(int result, sd_bus_error* error) {
    if (result < 0 && sd_bus_error_is_set(error)) {
        const int mapped = sd_bus_error_get_errno(error);
        result = mapped > 0 ? -mapped : result;
    }
    sd_bus_error_free(error);
    return result;
}

int read_property(sd_bus* bus, const char* property, char type, void* value) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    return call_result(sd_bus_get_property_trivial(bus, kService, kObject, kInterface, property,
                                                   &error, type, value),
                       &error);
}

int read_int32(sd_bus* bus, const char* property, int32_t* value) {
    return read_property(bus, property, 'i', value);
}

int read_int64(sd_bus* bus, const char* property, int64_t* value) {
    return read_property(bus, property, 'x', value);
}

int make_thread_realtime(sd_bus* bus, uint64_t thread_id, uint32_t priority) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    return call_result(sd_bus_call_method(bus, kService, kObject, kInterface, "MakeThreadRealtime",
                                          &error, nullptr, "tu", thread_id, priority),
                       &error);
}

void close_bus(sd_bus* bus) {
    sd_bus_flush_close_unref(bus);
}

int get_rttime(rlimit* limit) {
    return getrlimit(RLIMIT_RTTIME, limit) == 0 ? 0 : -errno;
}

int set_rttime(const rlimit* limit) {
    return setrlimit(RLIMIT_RTTIME, limit) == 0 ? 0 : -errno;
}

}  // namespace

const RealtimeKitIo kSystemBusRealtimeKitIo = {
    .open_bus = open_system_bus,
    .read_int32 = read_int32,
    .read_int64 = read_int64,
    .make_thread_realtime = make_thread_realtime,
    .close_bus = close_bus,
    .get_rttime = get_rttime,
    .set_rttime = set_rttime,
};

RealtimeKitIo realtime_kit_io = kSystemBusRealtimeKitIo;

}  // namespace varkel
