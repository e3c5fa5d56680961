#!/usr/bin/env bash
# Builds varkel and every test, with warnings as errors, then runs the whole
# suite.
# Usage: scripts/test.sh [build-dir [cmake-option...]]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARKEL_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)"
