// The parallel driver's only door to the platform: Linux ppdev requests on
// /dev/parportN. Tests put a simulated port in its place.
#pragma once

#include <sys/stat.h>

namespace varkel {

// How long a claim may hold the main loop while another program has the port.
inline constexpr long kClaimWaitMilliseconds = 100;

struct ParallelPortIo {
    int (*open)(const char* path, int flags);
    int (*fstat)(int fd, struct stat* status);
    int (*close)(int fd);
    // PPCLAIM, waiting at most kClaimWaitMilliseconds; -1 with EBUSY when
    // another program holds the port that long.
    int (*claim)(int fd);
    int (*read_control)(int fd, unsigned char* value);  // PPRCONTROL
    int (*write_control)(int fd, unsigned char value);  // PPWCONTROL
    int (*write_data)(int fd, unsigned char value);     // PPWDATA
    int (*read_status)(int fd, unsigned char* value);   // PPRSTATUS
};

extern const ParallelPortIo kLinuxParallelPortIo;
extern ParallelPortIo parallel_port_io;

}  // namespace varkel
