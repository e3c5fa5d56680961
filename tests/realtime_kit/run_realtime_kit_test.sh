#!/usr/bin/env bash
# Real time without root, against the real RealtimeKit: the daemon runs as
# the user nobody with RLIMIT_RTPRIO 0, so SCHED_FIFO is refused, and its
# keying threads (the main thread and libcw's, also after a reset makes a
# new one) must end up SCHED_RR at priority 20, granted by rtkit-daemon.
#
# Everything runs inside a private mount namespace: a system bus of its
# own (dbus-daemon --system on a private /run/dbus), polkitd with a rule on
# a private rules folder that grants nobody what a desktop session gets,
# and rtkit-daemon. Nothing outside the namespace changes; the three
# daemons are ended by their process ids.
#
# Usage (as root): tests/realtime_kit/run_realtime_kit_test.sh VARKEL_BINARY
# Exit status 77 (skipped) where it cannot run, with the reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
binary=$(realpath "$1")

skip() {
    echo "SKIPPED: $*"
    exit 77
}

[[ $(id -u) -eq 0 ]] || skip "needs root: a private mount namespace, a system bus and rtkit-daemon"
"$root/scripts/install-deps.sh" rtkit polkitd dbus-daemon util-linux >/dev/null 2>&1 ||
    skip "rtkit, polkitd or dbus-daemon could not be installed"
rtkit=/usr/libexec/rtkit-daemon
polkitd=/usr/lib/polkit-1/polkitd
[[ -x $rtkit ]] || skip "rtkit-daemon is absent ($rtkit)"
[[ -x $polkitd ]] || skip "polkitd is absent ($polkitd)"
command -v dbus-daemon >/dev/null || skip "dbus-daemon is absent"
command -v runuser >/dev/null || skip "runuser is absent"
getent passwd nobody >/dev/null || skip "there is no user nobody"

work=$(mktemp -d /tmp/varkel-rtkit-XXXXXX)
chmod 0755 "$work"
trap 'rm -rf "$work"' EXIT
# Where nobody can read and run it.
cp "$binary" "$work/varkel"
chmod 0755 "$work/varkel"
port=$((20000 + $$ % 20000))

# A sanitized daemon reports to its own log here (nobody cannot write the
# suite's report folder), and its leak check, which needs to trace the
# process, is left to the other tests.
unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
export ASAN_OPTIONS=detect_leaks=0
export work port rtkit polkitd
unshare -m --propagation private bash -euo pipefail -c '
pids=()
daemon_pid=""
finish() {
    if [[ -n $daemon_pid ]]; then
        kill -INT "$daemon_pid" 2>/dev/null
        wait "$daemon_pid" 2>/dev/null
    fi
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap finish EXIT
fail() {
    echo "FAILED: $*"
    echo "--- daemon log"; tail -20 "$work/varkel.out"
    echo "--- rtkit-daemon"; tail -20 "$work/rtkit.out"
    exit 1
}
mount -t tmpfs tmpfs /run/dbus
mkdir -p /etc/polkit-1/rules.d
mount -t tmpfs tmpfs /etc/polkit-1/rules.d
cat >/etc/polkit-1/rules.d/50-varkel-test.rules <<RULE
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.RealtimeKit1.") == 0 && subject.user == "nobody")
        return polkit.Result.YES;
});
RULE
pids+=("$(dbus-daemon --system --fork --nopidfile --print-pid)")
"$polkitd" --no-debug >"$work/polkitd.out" 2>&1 &
pids+=($!)
# It limits its own file sizes to 0: its log goes through a pipe.
"$rtkit" --stderr --no-canary > >(cat >"$work/rtkit.out") 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    dbus-send --system --print-reply --dest=org.freedesktop.RealtimeKit1 \
        /org/freedesktop/RealtimeKit1 org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.RealtimeKit1 string:MaxRealtimePriority >/dev/null 2>&1 && break
    sleep 0.1
done
for _ in $(seq 100); do
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
        grep -q "boolean true" && break
    sleep 0.1
done

# setpriv and prlimit exec the daemon: its process id is the one started.
setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
    prlimit --rtprio=0:0 "$work/varkel" -n -x n -i -p "$port" >"$work/varkel.out" 2>&1 </dev/null &
daemon_pid=$!
pid=$daemon_pid
for _ in $(seq 100); do
    grep -q "starting generator" "$work/varkel.out" 2>/dev/null && break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null || fail "the daemon did not start"

# Threads at SCHED_RR (policy 2) priority 20: fields 40 and 41 of stat,
# counted after the command name, which may hold spaces.
realtime_threads() {
    awk '"'"'{ sub(/^.*\) /, ""); split($0, f, " "); if (f[38] == 20 && f[39] == 2) n++ }
        END { print n + 0 }'"'"' /proc/"$pid"/task/*/stat
}
grep -q "varkel:WW: real-time scheduling refused" "$work/varkel.out" &&
    fail "real time was refused although RealtimeKit runs"
grep -q "varkel:II: real-time scheduling: SCHED_RR at priority 20, granted by RealtimeKit" \
    "$work/varkel.out" || fail "no line saying RealtimeKit granted real time"
[[ $(realtime_threads) -ge 2 ]] ||
    fail "$(realtime_threads) threads at SCHED_RR 20, not the main thread and the key line thread"
grep -E "^Max realtime timeout +200000 +200000" /proc/"$pid"/limits >/dev/null ||
    fail "RLIMIT_RTTIME is not within RealtimeKit bound: $(grep "realtime timeout" /proc/"$pid"/limits)"
# A reset makes a new key line thread, which must be asked for too; then
# a text must still be keyed.
printf "\0330" | nc -u -w1 127.0.0.1 "$port" >/dev/null 2>&1 || true
for _ in $(seq 50); do
    [[ $(grep -c "starting generator" "$work/varkel.out") -ge 2 ]] && break
    sleep 0.1
done
sleep 0.2
threads=$(realtime_threads)
[[ $threads -ge 2 ]] || fail "$threads threads at SCHED_RR 20 after a reset"
printf "e" | nc -u -w1 127.0.0.1 "$port" >/dev/null 2>&1 || true
for _ in $(seq 50); do
    grep -q "keying event \"0\"" "$work/varkel.out" && break
    sleep 0.1
done
grep -q "keying event \"0\"" "$work/varkel.out" || fail "the text was not keyed"
echo "passed: $threads threads of the daemon at SCHED_RR 20 through RealtimeKit, as nobody with RLIMIT_RTPRIO 0"
'
