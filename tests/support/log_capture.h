// Reads back what the debug log wrote to a temporary file.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

// Everything in the stream from its start; leaves it positioned at the end
// so that later lines are appended after what was read.
inline std::string read_whole_stream(FILE* stream) {
    fflush(stream);
    rewind(stream);
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, stream)) > 0) {
        text.append(chunk, got);
    }
    fseek(stream, 0, SEEK_END);
    return text;
}

}  // namespace test_support
