// RealtimeKit's only door: the system bus through sd-bus, and the limit it
// requires before it grants anything. Unit tests put a stand-in bus here.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <cstdint>

namespace varkel {

struct RealtimeKitIo {
    // Each returns 0 or more on success, a negative errno otherwise, as
    // sd-bus does; a refusal by the service arrives as its errno.
    int (*open_bus)(sd_bus** bus);
    int (*read_int32)(sd_bus* bus, const char* property, int32_t* value);
    int (*read_int64)(sd_bus* bus, const char* property, int64_t* value);
    int (*make_thread_realtime)(sd_bus* bus, uint64_t thread_id, uint32_t priority);
    void (*close_bus)(sd_bus* bus);
    // The process's RLIMIT_RTTIME, read and lowered: 0 or -errno.
    int (*get_rttime)(rlimit* limit);
    int (*set_rttime)(const rlimit* limit);
};

extern const RealtimeKitIo kSystemBusRealtimeKitIo;
extern RealtimeKitIo realtime_kit_io;

}  // namespace varkel
