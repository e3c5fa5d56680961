// The daemon's only configuration: options read once at start-up.
#pragma once

namespace varkel {

inline constexpr const char* kVersion = "0.10.2";
inline constexpr const char* kOptionString = "d:hniy:I:f:p:P:s:t:T:v:Vw:x:o:";

// Reads every option and acts on it at once; ends the process (status 0 or
// 1) on usage, version or a refused value.
void read_command_line(int argc, char** argv);

void print_usage();
void print_version();

}  // namespace varkel
