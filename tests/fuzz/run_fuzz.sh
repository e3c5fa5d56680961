#!/usr/bin/env bash
# Builds the request fuzzers with clang and runs each for a bounded time on
# its own copy of the seed corpus; a crash is kept as tests/fuzz/crash-* and
# fails the run.
#   request_fuzzer  the request path with the recording libcw stand-in
#   libcw_fuzzer    the same with the real libcw on its null sound system
# Usage: tests/fuzz/run_fuzz.sh [seconds-per-target [target...]]
#        (default 30 seconds, both targets)
set -euo pipefail
seconds=${1:-30}
shift || true
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(request_fuzzer libcw_fuzzer)
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VARKEL_FUZZ_BUILD_DIR:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARKEL_BUILD_FUZZ=ON -DVARKEL_WERROR=ON -DVARKEL_BUILD_TESTS=OFF -DVARKEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j"$(nproc)"

# The real libcw plays on a thread of its own: on one core the hand-over
# between it and the fuzzing thread costs half as much.
pin=()
if taskset -c 0 true 2>/dev/null; then
    pin=(taskset -c 0)
fi

work=$(mktemp -d /tmp/varkel-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
    echo "== $target, $seconds s"
    mkdir "$work/$target"
    cp "$root"/tests/fuzz/corpus/* "$work/$target"/
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "${pin[@]}" "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=1024 -timeout=10 \
        -dict="$root/tests/fuzz/request.dict" -print_final_stats=1 \
        -artifact_prefix="$root/tests/fuzz/" "$work/$target"
done
