#include "net/escape_requests.h"
// STUB: to be written.
namespace varkel {
bool word_mode = false;
void handle_escape_request(char*) {}
}  // namespace varkel
