#!/usr/bin/env bash
# Runs the soak test for a bounded time: several clients keep the real
# daemon busy on a simulated serial port, then three short runs end it by a
# port failure, SIGINT and request 5. Prints the figures.
# Usage: tests/soak/run_soak.sh [seconds [build-dir]]
#   seconds    1..300, default 120
#   build-dir  default build (configured and built here when needed)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-120}
build_dir=${2:-build}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1 || seconds > 300)); then
    echo "usage: $0 [seconds 1..300 [build-dir]]" >&2
    exit 2
fi
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" --target varkel simport soak -j2 >/dev/null
sanitized=()
if grep -Eq '^VARKEL_SANITIZE:[A-Z]*=(address|thread)' "$build_dir/CMakeCache.txt"; then
    sanitized=(--sanitized)
fi
simport=$(find "$build_dir/tests" -maxdepth 1 -name 'libsimport.so' | head -n 1)
exec "$build_dir/tests/soak/soak" --varkel "$build_dir/varkel" --simport "$simport" \
    --seconds "$seconds" "${sanitized[@]}"
