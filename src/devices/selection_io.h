// What device selection asks of the process beyond the device nodes: who
// it runs as (a parallel port is for root only) and the memory for a
// device's description. Tests put other answers in their place.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace varkel {

struct SelectionIo {
    uid_t (*effective_user_id)();  // geteuid
    // Copies text into copy; false when memory ran out.
    bool (*copy_text)(const char* text, std::optional<std::string>& copy);
};

// The process's own answers, and the table selection uses (those by default).
extern const SelectionIo kProcessSelectionIo;
extern SelectionIo selection_io;

}  // namespace varkel
