#!/usr/bin/env bash
# Builds varkel and runs it in the foreground on null audio with the debug
# log at its most verbose. Send it text from another terminal:
#   printf 'cq test' | nc -u -w1 127.0.0.1 6789
# Extra arguments are passed on (for example -p 7000 or -d ttyUSB0).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target varkel -j"$(nproc)"
exec build/varkel -n -x n -y d "$@"
