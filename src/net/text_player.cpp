#include "net/text_player.h"
#include "net/udp_endpoint.h"
// STUB: to be written.
namespace varkel {
void play_message(char*) { empty_message_buffer(); }
}  // namespace varkel
