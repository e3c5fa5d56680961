#!/usr/bin/env bash
# Builds the request fuzzer with clang and runs it for a bounded time on a
# copy of the seed corpus; a crash is kept as tests/fuzz/crash-* and fails
# the run.
# Usage: tests/fuzz/run_fuzz.sh [seconds] (default 60)
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VARKEL_FUZZ_BUILD_DIR:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARKEL_BUILD_FUZZ=ON -DVARKEL_WERROR=ON -DVARKEL_BUILD_TESTS=OFF -DVARKEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target request_fuzzer -j"$(nproc)"

corpus=$(mktemp -d /tmp/varkel-fuzz-XXXXXX)
trap 'rm -rf "$corpus"' EXIT
cp "$root"/tests/fuzz/corpus/* "$corpus"/

UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
"$build"/tests/fuzz/request_fuzzer -max_total_time="$seconds" -max_len=1024 -timeout=10 \
    -dict="$root/tests/fuzz/request.dict" -print_final_stats=1 \
    -artifact_prefix="$root/tests/fuzz/" "$corpus"
