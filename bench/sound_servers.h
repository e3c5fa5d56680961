// Sound servers the station benchmark starts for itself, each in a
// directory of its own so that it never meets another server on the
// machine, and each reachable through PULSE_SERVER by root and by the
// unprivileged bench user alike. Every process is started and ended by its
// PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace bench {

struct SoundServer {
    std::string name;
    std::vector<std::pair<pid_t, std::string>> processes;  // in the order started
    std::string pulse_server;                              // for PULSE_SERVER
    std::string why_not;                                   // when it did not start
};

// PulseAudio with a null sink, its native socket open to any local user.
bool start_pulseaudio(const std::string& dir, SoundServer& server);
// A D-Bus session bus, pipewire, wireplumber and pipewire-pulse in that
// order, a null sink made the default.
bool start_pipewire(const std::string& dir, SoundServer& server);
// Ends the processes, last started first.
void stop_sound_server(SoundServer& server);

}  // namespace bench
