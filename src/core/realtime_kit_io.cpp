#include "core/realtime_kit_io.h"

#include <dlfcn.h>

#include <cerrno>

namespace varkel {

namespace {

constexpr const char kService[] = "org.freedesktop.RealtimeKit1";
constexpr const char kObject[] = "/org/freedesktop/RealtimeKit1";
constexpr const char kInterface[] = "org.freedesktop.RealtimeKit1";
// A bus that answers slowly must not hold start-up for sd-bus's default 25 s.
constexpr uint64_t kCallTimeoutMicroseconds = 2'000'000;

// sd-bus is loaded only when the daemon needs it: where SCHED_FIFO is
// granted (root, the system service) libsystemd and the libraries it pulls
// in would cost start-up time and memory for nothing.
struct SdBus {
    decltype(&sd_bus_open_system) open_system;
    decltype(&sd_bus_set_method_call_timeout) set_method_call_timeout;
    decltype(&sd_bus_get_property_trivial) get_property_trivial;
    decltype(&sd_bus_call_method) call_method;
    decltype(&sd_bus_error_free) error_free;
    decltype(&sd_bus_error_is_set) error_is_set;
    decltype(&sd_bus_error_get_errno) error_get_errno;
    decltype(&sd_bus_flush_close_unref) flush_close_unref;
};

template <typename Function>
bool find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

// Main thread only. Null when libsystemd is not installed.
const SdBus* sd_bus_library() {
    static SdBus bus{};
    static bool loaded = false;
    if (loaded) {
        return &bus;
    }
    void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return nullptr;
    }
    loaded = find(library, "sd_bus_open_system", bus.open_system) &&
             find(library, "sd_bus_set_method_call_timeout", bus.set_method_call_timeout) &&
             find(library, "sd_bus_get_property_trivial", bus.get_property_trivial) &&
             find(library, "sd_bus_call_method", bus.call_method) &&
             find(library, "sd_bus_error_free", bus.error_free) &&
             find(library, "sd_bus_error_is_set", bus.error_is_set) &&
             find(library, "sd_bus_error_get_errno", bus.error_get_errno) &&
             find(library, "sd_bus_flush_close_unref", bus.flush_close_unref);
    if (!loaded) {
        dlclose(library);
        return nullptr;
    }
    return &bus;
}

int open_system_bus(sd_bus** bus) {
    const SdBus* library = sd_bus_library();
    if (library == nullptr) {
        return -ENOSYS;
    }
    const int result = library->open_system(bus);
    if (result >= 0) {
        library->set_method_call_timeout(*bus, kCallTimeoutMicroseconds);
    }
    return result;
}

// The errno of a failed call, also when the service's error has none.
// Only reached with a bus, so the library is there.
int call_result(int result, sd_bus_error* error) {
    const SdBus* library = sd_bus_library();
    if (result < 0 && library->error_is_set(error)) {
        const int mapped = library->error_get_errno(error);
        result = mapped > 0 ? -mapped : result;
    }
    library->error_free(error);
    return result;
}

int read_property(sd_bus* bus, const char* property, char type, void* value) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    return call_result(sd_bus_library()->get_property_trivial(bus, kService, kObject, kInterface,
                                                              property, &error, type, value),
                       &error);
}

int read_int32(sd_bus* bus, const char* property, int32_t* value) {
    return read_property(bus, property, 'i', value);
}

int read_int64(sd_bus* bus, const char* property, int64_t* value) {
    return read_property(bus, property, 'x', value);
}

int make_thread_realtime(sd_bus* bus, uint64_t thread_id, uint32_t priority) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    return call_result(
        sd_bus_library()->call_method(bus, kService, kObject, kInterface, "MakeThreadRealtime",
                                      &error, nullptr, "tu", thread_id, priority),
        &error);
}

void close_bus(sd_bus* bus) {
    sd_bus_library()->flush_close_unref(bus);
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
