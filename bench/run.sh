#!/usr/bin/env bash
# Builds varkel and its benchmarks in Release and measures the daemon side by
# side with the libcw floor program (the least a program can do to key a
# serial port from UDP text through libcw). Prints one table: latency from a
# datagram to the first key-down, time added per mirrored key edge, element
# timing at 20 and 60 wpm and the worst element shortening, the first
# key-down of a text sent right after ESC 0 and ESC f, idle CPU and peak
# memory, each with its target and "within target" or "over target", and a
# one-line summary.
#
# Usage: bench/run.sh [run_bench option...]
#   bench/run.sh               full run: 200 latency samples, 60 s idle (about 3 minutes)
#   bench/run.sh --quick       50 samples, 10 s idle (about 1 minute)
#   bench/run.sh --idle 20 --samples 100
#   bench/run.sh --debug-log   the daemon with its debug log at DD
#   bench/run.sh --keep        keep the raw timestamp logs under /tmp
#
# The station matrix (as root; about 14 minutes): the same two programs on
# null audio, PulseAudio and PipeWire, idle and under stress-ng, with
# real-time priority granted and refused, "PARIS PARIS" at 60 wpm decoded
# back from the key line, and texts sent 0.3 s after a reset. One table.
#   bench/run.sh --station                      20 texts and 3 resets a row
#   bench/run.sh --station --texts 5 --resets 1 a quick check (about 4 minutes)
#   bench/run.sh --station --sound np           only null audio and PulseAudio (w: PipeWire)
#   bench/run.sh --station --keep               keep the logs and the servers' output
#
# Every run has bench/platform_probe beside the programs: one thread per CPU
# waking every millisecond at the key line's priority, whose late wake-ups
# class each late element as the program's own or the machine's, and the
# steal time the run saw. The table says both.
#
# How fast an abort stops the key (about 4 minutes; --quick about 1): abort
# in a tune and mid-dash at 4, 12 and 60 wpm, a tune of 0 seconds in a tune,
# the next datagram after an abort, a text 5 ms after an abort decoded back.
#   bench/run.sh --abort [--quick] [--tries N] [--keep]
#
# Keyboard sending with PTT tail and hang (about 1.5 minutes; --quick about
# half a minute): "CQ TEST DE VK2ABC" a character per datagram at 20 wpm
# with a PTT delay of 20 ms, PTT drops inside it without a hang and with
# ptt-hang=1, the character gaps, when PTT falls after the hang and after
# ptt-tail=500, and a text sent 250 ms into the tail.
#   bench/run.sh --keyboard [--quick] [--tries N] [--keep]
#
# The paddle (under a minute): a paddle on the simulated port's DSR and CTS
# at 20 wpm; contact to key-down, element and space lengths, the iambic
# patterns in both modes 20 times each, break-in's key-up and "break"
# reply, and the CPU of an idle paddle against a daemon without one.
#   bench/run.sh --paddle [--tries N] [--keep]
#
# Run it on a quiet machine: the numbers share the CPUs with everything else.
# The build goes to build-bench/ (BUILD_DIR overrides), apart from the
# test build.
set -euo pipefail
cd "$(dirname "$0")/.."
extra=()
if [[ ${1:-} == --station ]]; then
    # The load, the second sound server and the tools to switch user.
    extra=(stress-ng pipewire pipewire-pulse wireplumber dbus util-linux)
fi
scripts/install-deps.sh "${extra[@]}"
build_dir=${BUILD_DIR:-build-bench}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARKEL_BUILD_TESTS=OFF \
    -DVARKEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" --target run_bench -j2
exec "$build_dir/bench/run_bench" "$@"
