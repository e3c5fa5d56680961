#include "core/command_line.h"
// STUB: to be written.
namespace varkel {
void read_command_line(int, char**) {}
void print_usage() {}
void print_version() {}
}  // namespace varkel
