#include "devices/selection_io.h"

#include <unistd.h>

#include <new>

namespace varkel {

namespace {

// std::string reports exhaustion only by throwing; this is the one place
// where that is turned into a success flag.
bool copy_text(const char* text, std::optional<std::string>& copy) {
    try {
        copy.emplace(text);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

const SelectionIo kProcessSelectionIo = {
    .effective_user_id = geteuid,
    .copy_text = copy_text,
};

SelectionIo selection_io = kProcessSelectionIo;

}  // namespace varkel
