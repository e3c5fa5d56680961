#!/usr/bin/env bash
# The Debian package under a real systemd: builds the package (without its
# test suite, which the other checks run) and checks it with lintian,
# installs it, boots systemd in PID, mount, UTS and cgroup namespaces of its
# own, starts the service, sends a text from 127.0.0.1 and from ::1 and
# finds it in the journal, shows that the socket is bound to 127.0.0.1:6789
# and [::1]:6789 only and that the service may take real-time priority 20,
# stops the daemon by request and starts it again by the next datagram;
# then runs two adapters' instances side by side, on ports 6789 and 6790,
# each on a simulated serial port of its own, and shows that each keys
# only its own; then starts a user manager for a test user and runs the
# user units there: the port taken by the system socket first, then the
# user socket keying and echoing a text, with a PulseAudio server in that
# session whose sink carries the daemon's sidetone; then powers that
# systemd off and purges the package.
#
# Usage (as root, on a machine where varkel is not installed and UDP ports
# 6789 and 6790 are free): scripts/system-test.sh [--deb PATH]
#   --deb PATH   test this package instead of building one (no lintian)
#
# The namespaced systemd shares the network and the kernel with the
# machine. So that it touches nothing of the machine, it gets its own /run
# and /tmp, its journal stays in memory, its cgroups live below a cgroup of
# this test's own, and every unit that would change the machine (temporary
# files, sysctl, kernel modules, udev, the clock, users, seeds) is masked.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
deb=""
if [[ ${1:-} == --deb ]]; then
    deb=$(realpath "$2")
fi

fail() {
    echo "system test: $*" >&2
    exit 1
}
step() {
    echo "== $* ($(($(date +%s) - started)) s)"
}

[[ $(id -u) -eq 0 ]] || fail "run it as root"
scripts/install-deps.sh debhelper lintian iproute2 systemd gcc pulseaudio pulseaudio-utils
if dpkg-query -W -f='${Status}' varkel 2>/dev/null | grep -q "installed"; then
    fail "varkel is installed on this machine already; this test installs and purges its own"
fi
for port in 6789 6790; do
    if [[ -n $(ss -Hlun "sport = :$port") ]]; then
        ss -lunp "sport = :$port" >&2
        fail "UDP port $port is in use; the packaged services need it"
    fi
done

work=$(mktemp -d /tmp/varkel-system-test-XXXXXX)
cgroup_name=$(basename "$work")
cgroup_dirs=()
ns_pid=""
unshare_pid=""
installed=no
desk_user=varkel-desk-test
desk_user_made=no
user_existed=no
if getent passwd varkel >/dev/null; then
    user_existed=yes
fi

# Removes a cgroup directory tree, deepest first.
remove_cgroup() {
    [[ -d $1 ]] || return 0
    find "$1" -depth -type d -exec rmdir {} + 2>/dev/null || true
}

cleanup() {
    local status=$?
    set +e
    if [[ -n $ns_pid ]] && kill -0 "$ns_pid" 2>/dev/null; then
        nsenter -t "$ns_pid" -m -p systemctl poweroff >/dev/null 2>&1
        for _ in $(seq 100); do
            kill -0 "$unshare_pid" 2>/dev/null || break
            sleep 0.2
        done
        if kill -0 "$unshare_pid" 2>/dev/null; then
            echo "system test: the namespaced systemd did not power off; killing it" >&2
            kill -KILL "$ns_pid"  # ends every process of its PID namespace
        fi
        wait "$unshare_pid" 2>/dev/null
    fi
    for dir in "${cgroup_dirs[@]}"; do
        remove_cgroup "$dir"
    done
    if [[ $desk_user_made == yes ]]; then
        userdel "$desk_user" 2>/dev/null
    fi
    if [[ $installed == yes ]]; then
        step "purge"
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq varkel >"$work/purge.log" 2>&1 ||
            { cat "$work/purge.log"; status=1; }
        if dpkg-query -W -f='${Status}' varkel 2>/dev/null | grep -q "installed"; then
            echo "system test: varkel is still installed after the purge" >&2
            status=1
        fi
        local left
        left=$(ls -d /etc/default/varkel /lib/systemd/system/varkel* /usr/lib/systemd/user/varkel* \
            /etc/systemd/user/*/varkel* /lib/udev/rules.d/*varkel* \
            /usr/sbin/varkel /var/lib/systemd/deb-systemd-helper-enabled/*varkel* 2>/dev/null)
        if [[ -n $left ]]; then
            echo "system test: left after the purge: $left" >&2
            status=1
        fi
        # Debian keeps a package's system user after a purge; this test
        # removes the one it made.
        if [[ $user_existed == no ]] && getent passwd varkel >/dev/null; then
            userdel varkel 2>/dev/null
            getent group varkel >/dev/null && groupdel varkel 2>/dev/null
        fi
    fi
    rm -rf "$work"
    if ((status == 0)); then
        echo "system test: passed in $(($(date +%s) - started)) s"
    else
        echo "system test: FAILED" >&2
    fi
    exit "$status"
}
trap cleanup EXIT

if [[ -z $deb ]]; then
    step "build the package"
    mkdir "$work/src"
    if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
        git -C "$root" ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/src"
    else
        tar -C "$root" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$work/src" -xf -
    fi
    (cd "$work/src" && dpkg-checkbuilddeps) || fail "build dependencies missing: apt-get build-dep ."
    if ! (cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=2" \
        dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1); then
        tail -40 "$work/build.log"
        fail "dpkg-buildpackage failed"
    fi
    deb=$(ls "$work"/varkel_*_*.deb)
    step "lintian"
    lintian --fail-on error,warning "$work"/varkel_*.changes 2>&1 | grep -v 'root privileges' ||
        [[ ${PIPESTATUS[0]} -eq 0 ]] || fail "lintian reports errors or warnings"
fi

step "install $(basename "$deb")"
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "the package does not install"; }
getent passwd varkel >/dev/null || fail "the package made no user varkel"
ls /etc/systemd/user/*/varkel* 2>/dev/null &&
    fail "the package enabled the user units for every user"

step "boot systemd in namespaces"
# Every unit that the services' sysinit.target would start is masked but
# the journal: those set up a machine, and this machine is not ours.
masked=(systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service
        systemd-tmpfiles-clean.timer systemd-remount-fs.service swap.target
        systemd-journald-dev-log.socket systemd-journald-audit.socket
        systemd-journal-flush.service systemd-udevd.service systemd-udev-trigger.service
        systemd-timesyncd.service systemd-sysctl.service systemd-modules-load.service
        systemd-sysusers.service systemd-random-seed.service)
for wants in /lib/systemd/system/sysinit.target.wants /etc/systemd/system/sysinit.target.wants; do
    for unit in "$wants"/*; do
        [[ -e $unit || -L $unit ]] || continue
        case $(basename "$unit") in
            systemd-journald.service) ;;
            *) masked+=("$(basename "$unit")") ;;
        esac
    done
done
# Two keying adapters as udev would have named them (radio1, radio2): a
# record in udev's database and the link /dev/varkel-NAME for each, so that
# systemd makes their device units, to which the adapters' instances are
# bound. Any character device of the machine serves as the adapter (two
# virtual consoles here; nothing opens them): the daemons key simulated
# ports instead. The links go into an overlay on /dev that only the
# namespace sees; /dev/pts and /dev/shm are bound back onto it.
fake_adapters="mkdir -p /run/varkel-dev/host /run/varkel-dev/upper /run/varkel-dev/work; "
fake_adapters+="mount --rbind /dev /run/varkel-dev/host; "
fake_adapters+="mount -t overlay overlay -o lowerdir=/run/varkel-dev/host,upperdir=/run/varkel-dev/upper,workdir=/run/varkel-dev/work /dev; "
fake_adapters+="for sub in pts shm; do mount --rbind /run/varkel-dev/host/\$sub /dev/\$sub; done; "
for adapter in radio1:4:20 radio2:4:21; do
    IFS=: read -r name major minor <<<"$adapter"
    [[ -e /sys/dev/char/$major:$minor ]] || fail "no device $major:$minor to stand for an adapter"
    node=$(sed -n 's/^DEVNAME=//p' "/sys/dev/char/$major:$minor/uevent")
    [[ -c /dev/$node ]] || fail "no device node for $major:$minor"
    fake_adapters+="ln -s $node /dev/varkel-$name; "
    fake_adapters+="printf \"S:varkel-$name\\nI:1\\nE:VARKEL_ADAPTER=$name\\nG:systemd\\nQ:systemd\\nV:1\\n\" >/run/udev/data/c$major:$minor; "
    fake_adapters+=": >/run/udev/tags/systemd/c$major:$minor; "
done
# A cgroup of this test's own below the current one in every hierarchy,
# and a cgroup namespace rooted there: systemd then moves, limits and
# leaves behind only its own processes and cgroups.
enter_cgroups=""
for hierarchy in /sys/fs/cgroup/*/; do
    hierarchy=${hierarchy%/}
    [[ -f $hierarchy/cgroup.procs ]] || continue
    case $(basename "$hierarchy") in
        unified) key="" ;;
        systemd) key="name=systemd" ;;
        *) key=$(basename "$hierarchy") ;;
    esac
    current=$(awk -F: -v key="$key" '$2 == key { print $3 }' /proc/self/cgroup)
    [[ -n $current ]] || continue
    dir="$hierarchy${current%/}/$cgroup_name"
    mkdir "$dir"
    cgroup_dirs+=("$dir")
    if [[ -f $dir/cpuset.cpus ]]; then
        cat "$(dirname "$dir")/cpuset.cpus" >"$dir/cpuset.cpus"
        cat "$(dirname "$dir")/cpuset.mems" >"$dir/cpuset.mems"
    fi
    enter_cgroups+="echo 0 >$dir/cgroup.procs; "
done
cat >"$work/boot.sh" <<EOF
set -e
$enter_cgroups
exec unshare --cgroup sh -c '
set -e
umount -R /sys/fs/cgroup
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mkdir -p /run/systemd/system /run/systemd/journald.conf.d /run/udev/data /run/udev/tags/systemd
for unit in ${masked[*]}; do ln -sf /dev/null /run/systemd/system/\$unit; done
$fake_adapters
printf "[Journal]\nStorage=volatile\n" >/run/systemd/journald.conf.d/varkel-system-test.conf
printf "[Unit]\nDescription=varkel system test\nWants=systemd-journald.service\n" \
    >/run/systemd/system/varkel-system-test.target
exec /lib/systemd/systemd --system --unit=varkel-system-test.target
'
EOF
unshare --pid --fork --mount-proc --mount --uts sh "$work/boot.sh" \
    >"$work/systemd.out" 2>&1 </dev/null &
unshare_pid=$!
for _ in $(seq 100); do
    ns_pid=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{print $1}')
    if [[ -n $ns_pid ]] && [[ $(cat "/proc/$ns_pid/comm" 2>/dev/null) == systemd ]]; then
        break
    fi
    sleep 0.1
done
[[ -n $ns_pid ]] || { cat "$work/systemd.out"; fail "systemd did not start"; }
in_ns() {
    nsenter -t "$ns_pid" -m -p -u -C "$@"
}
# Waits up to 5 s for a line in a unit's journal: the daemon's output
# reaches the journal a moment after the datagram's echo reaches the client.
journal_has() {
    for _ in $(seq 50); do
        in_ns journalctl -u "$1" -b --no-pager -o cat | grep -qF "$2" && return 0
        sleep 0.1
    done
    return 1
}
booted=no
for _ in $(seq 150); do
    if in_ns systemctl is-active --quiet varkel-system-test.target 2>/dev/null; then
        booted=yes
        break
    fi
    sleep 0.2
done
[[ $booted == yes ]] || { cat "$work/systemd.out"; fail "systemd did not reach its target"; }

step "check the units"
for unit in varkel.service varkel.socket; do
    in_ns systemd-analyze verify "$unit" 2>&1 | grep -v 'man varkel(8)' && fail "$unit does not verify" || true
done
# (systemctl quotes the name and doubles its backslash)
bindsto=$(in_ns systemctl show -p BindsTo --value 'varkel@keyer.service' | tr -d '"' | sed 's/\\\\/\\/g')
[[ $bindsto == 'dev-varkel\x2dkeyer.device' ]] ||
    fail "varkel@keyer.service binds to \"$bindsto\", not its adapter's device unit"
rtprio=$(in_ns systemctl show -p LimitRTPRIO --value varkel.service)
[[ $rtprio == 20 ]] || fail "varkel.service has LimitRTPRIO=$rtprio"

step "start the service"
# The test's own options: the text and key edges in the journal, no device.
# The extra command before the daemon runs in the service's own sandbox,
# so it shows that real-time priority 20 is there to take.
# Raising RLIMIT_RTPRIO takes CAP_SYS_RESOURCE, which a sandboxed root may
# lack; systemd then leaves the limit at 0 without a word.
can_raise_limits=no
if (( (0x$(awk '/^CapBnd/ { print $2 }' /proc/self/status) >> 24) & 1 )); then
    can_raise_limits=yes
fi
mkdir -p "$work/dropin"
printf '[Service]\nEnvironmentFile=/run/varkel-system-test.env\n' >"$work/dropin/system-test.conf"
if [[ $can_raise_limits == yes ]]; then
    echo 'ExecStartPre=/usr/bin/chrt -f 20 /bin/true' >>"$work/dropin/system-test.conf"
fi
in_ns sh -c "mkdir -p /run/systemd/system/varkel.service.d &&
    cat >/run/systemd/system/varkel.service.d/system-test.conf &&
    echo 'VARKEL_OPTIONS=-x n -d null -i' >/run/varkel-system-test.env &&
    systemctl daemon-reload" <"$work/dropin/system-test.conf"
in_ns systemctl start varkel.service ||
    { in_ns journalctl -b --no-pager | tail -40; fail "varkel.service does not start"; }

step "send a text from 127.0.0.1"
echo_reply=$(printf 'cq test^' | nc -u -W1 -w10 127.0.0.1 6789 | tr -d '\r' || true)
[[ $echo_reply == "cq test" ]] || fail "no echo from the service (got \"$echo_reply\")"
journal=$(in_ns journalctl -u varkel.service -b --no-pager -o cat || true)
grep -qF 'varkel:II: request: "cq test^"' <<<"$journal" ||
    { echo "$journal" | tail -20; fail "the text is not in the journal"; }
grep -qF 'varkel:II: keying event "1"' <<<"$journal" ||
    { echo "$journal" | tail -20; fail "no key edge in the journal"; }
echo "journal: $(grep -c 'keying event' <<<"$journal") key edges for \"cq test\""

step "a client of ::1, as those that send to \"localhost\""
echo_reply=$(printf 'de ipv6^' | nc -6 -u -W1 -w10 ::1 6789 | tr -d '\r' || true)
[[ $echo_reply == "de ipv6" ]] || fail "no echo over IPv6 (got \"$echo_reply\")"
journal_has varkel.service 'varkel:II: request: "de ipv6^"' ||
    fail "the text sent to ::1 is not in the journal"

step "the sockets are bound to 127.0.0.1:6789 and [::1]:6789 only"
sockets=$(ss -Hlunp 'sport = :6789')
echo "$sockets"
[[ $(awk '{print $4}' <<<"$sockets" | sort | tr '\n' ' ') == "127.0.0.1:6789 [::1]:6789 " ]] ||
    fail "port 6789 is not bound to 127.0.0.1 and ::1 alone"
[[ $(grep -c '"varkel"' <<<"$sockets") -eq 2 ]] || fail "the daemon does not hold both sockets"
daemon_pid=$(grep -o '"varkel",pid=[0-9]*' <<<"$sockets" | head -1 | cut -d= -f2)
if [[ $can_raise_limits == yes ]]; then
    grep -E 'Max realtime priority +20 +20' "/proc/$daemon_pid/limits" ||
        fail "the daemon may not take real-time priority 20"
else
    echo "real-time priority: not checked, this machine's root cannot raise RLIMIT_RTPRIO" \
        "(no CAP_SYS_RESOURCE); the unit asks for LimitRTPRIO=$rtprio"
fi

step "request 5 stops it; the next datagram starts it again"
printf '\0335' | nc -u -w1 127.0.0.1 6789 || true
for _ in $(seq 50); do
    [[ $(in_ns systemctl show -p ActiveState --value varkel.service) == inactive ]] && break
    sleep 0.2
done
[[ $(in_ns systemctl show -p ActiveState --value varkel.service) == inactive ]] ||
    fail "request 5 did not stop the service"
[[ $(in_ns systemctl show -p ExecMainStatus --value varkel.service) == 0 ]] ||
    fail "the daemon did not end with status 0"
in_ns systemctl is-active --quiet varkel.socket || fail "the socket went with the daemon"
echo_reply=$(printf 'again^' | nc -u -W1 -w15 127.0.0.1 6789 | tr -d '\r' || true)
[[ $echo_reply == "again" ]] || fail "the socket did not start the daemon again (got \"$echo_reply\")"

step "stop"
in_ns systemctl stop varkel.service varkel.socket
[[ -z $(ss -Hlun 'sport = :6789') ]] || fail "port 6789 is still bound after the stop"

step "two radios: varkel@radio1 on 6789, varkel@radio2 on 6790"
# Each instance keys a simulated serial port under its adapter's name
# (the preload library of the tests, built here) and logs its requests
# to a file of its own; radio2 listens on 6790 through the shipped drop-in.
cc -O2 -shared -fPIC -o "$work/simport.so" tests/simport/simport.c -ldl ||
    fail "the simulated port library does not build"
examples=/usr/share/doc/varkel/examples
in_ns sh -c "mkdir -p /run/varkel-simport /run/systemd/system/varkel@.service.d \
        /run/systemd/system/varkel@radio2.socket.d &&
    cat >/run/varkel-simport/simport.so &&
    : >/run/varkel-simport/radio1.log && : >/run/varkel-simport/radio2.log &&
    chmod 0666 /run/varkel-simport/radio1.log /run/varkel-simport/radio2.log &&
    zcat -f $examples/second-radio.conf* >/run/systemd/system/varkel@radio2.socket.d/second-radio.conf &&
    echo 'VARKEL_ADAPTER_OPTIONS=-x n -i' >/run/varkel-system-test-adapter.env &&
    printf '%s\n' '[Service]' 'EnvironmentFile=/run/varkel-system-test-adapter.env' \
        'Environment=LD_PRELOAD=/run/varkel-simport/simport.so SIMPORT_SERIAL=varkel-%i' \
        'Environment=SIMPORT_LOG=/run/varkel-simport/%i.log' \
        'ReadWritePaths=/run/varkel-simport' \
        >/run/systemd/system/varkel@.service.d/system-test.conf &&
    systemctl daemon-reload" <"$work/simport.so"
for adapter in radio1 radio2; do
    in_ns systemctl is-active --quiet "dev-varkel\\x2d$adapter.device" ||
        { in_ns systemctl list-units --all --no-pager 'dev-*'; fail "no device unit for the adapter $adapter"; }
done
in_ns systemctl start varkel@radio1.service varkel@radio2.service ||
    { in_ns journalctl -b --no-pager | tail -40; fail "the two instances do not start"; }
sockets=$(ss -Hlunp 'sport = :6789 or sport = :6790')
echo "$sockets"
[[ $(awk '{print $4}' <<<"$sockets" | sort | tr '\n' ' ') == \
    "127.0.0.1:6789 127.0.0.1:6790 [::1]:6789 [::1]:6790 " ]] ||
    fail "the two instances do not listen on 6789 and 6790 of 127.0.0.1 and ::1"

# Key-downs on a port: DTR (modem bit 0x002) rising in its log.
key_downs() {
    in_ns cat "/run/varkel-simport/$1.log" | awk '
        { for (i = 1; i <= NF; i++) if ($i ~ /^state=/) dtr = substr($i, length($i)) ~ /[2367abef]/ }
        dtr && !was { n++ }
        { was = dtr }
        END { print n + 0 }'
}
# Sends a text with an echo marker from the client address to a port and
# checks the echo.
send_to() {
    local family=$1 address=$2 port=$3 text=$4 reply
    reply=$(printf '%s^' "$text" | nc "$family" -u -W1 -w10 "$address" "$port" | tr -d '\r' || true)
    [[ $reply == "$text" ]] || fail "no echo from port $port over $address (got \"$reply\")"
}
for adapter in radio1 radio2; do
    in_ns journalctl -u "varkel@$adapter.service" -b --no-pager -o cat |
        grep -qF "setting cwdevice to null device" && fail "varkel@$adapter does not key its port"
done
before1=$(key_downs radio1)
before2=$(key_downs radio2)
send_to -4 127.0.0.1 6789 "tu"
send_to -6 ::1 6789 "e"
after1=$(key_downs radio1)
[[ $(key_downs radio2) -eq $before2 ]] || fail "a text to 6789 keyed radio2"
(( after1 - before1 == 5 )) || fail "radio1 keyed $((after1 - before1)) elements for \"tu\" and \"e\", not 5"
send_to -4 127.0.0.1 6790 "ee"
send_to -6 ::1 6790 "t"
[[ $(key_downs radio1) -eq $after1 ]] || fail "a text to 6790 keyed radio1"
(( $(key_downs radio2) - before2 == 3 )) ||
    fail "radio2 keyed $(($(key_downs radio2) - before2)) elements for \"ee\" and \"t\", not 3"
for adapter in radio1 radio2; do
    echo "varkel@$adapter: $(in_ns journalctl -u "varkel@$adapter.service" -b --no-pager -o cat |
        grep -o 'II: request: "[^"]*"' | tr '\n' ' ')"
done
in_ns systemctl stop varkel@radio1.service varkel@radio1.socket varkel@radio2.service \
    varkel@radio2.socket
[[ -z $(ss -Hlun 'sport = :6789 or sport = :6790') ]] || fail "ports 6789 and 6790 are still bound"

step "the user units: a user manager for $desk_user"
# A user of the test's own, with a home only the namespace sees (its /run).
getent passwd "$desk_user" >/dev/null && fail "the user $desk_user exists already"
useradd --system --no-create-home --home-dir "/run/$desk_user" --shell /usr/sbin/nologin \
    "$desk_user"
desk_user_made=yes
desk_uid=$(id -u "$desk_user")
desk_gid=$(id -g "$desk_user")
in_ns sh -c "mkdir -p /run/$desk_user/.config/varkel && chown -R $desk_user: /run/$desk_user"
as_desk() {
    in_ns setpriv --reuid="$desk_uid" --regid="$desk_gid" --init-groups \
        env HOME="/run/$desk_user" XDG_RUNTIME_DIR="/run/user/$desk_uid" "$@"
}
# systemd-user-runtime-dir asks logind, over the system bus, how large the
# runtime folder may be, and pam_systemd asks logind for the session that
# names it to the user manager; neither runs in this namespace, so the
# folder is made by hand, as it would be, removed when the manager stops,
# and named in the manager's environment.
in_ns sh -c "mkdir -p /run/systemd/system/user-runtime-dir@.service.d \
        /run/systemd/system/user@.service.d &&
    printf '%s\n' '[Service]' 'Environment=XDG_RUNTIME_DIR=/run/user/%i' \
        >/run/systemd/system/user@.service.d/system-test.conf &&
    printf '%s\n' '[Service]' 'ExecStart=' \
        'ExecStart=/bin/sh -c \"mkdir -p /run/user/%i && chown %i:$desk_gid /run/user/%i && chmod 0700 /run/user/%i\"' \
        'ExecStop=' 'ExecStop=/bin/rm -rf /run/user/%i' \
        >/run/systemd/system/user-runtime-dir@.service.d/system-test.conf &&
    systemctl daemon-reload"
in_ns systemctl start "user@$desk_uid.service" ||
    { in_ns journalctl -b --no-pager | tail -30; fail "the user manager does not start"; }
XDG_RUNTIME_DIR=$(mktemp -d) systemd-analyze verify --user /usr/lib/systemd/user/varkel.socket \
    /usr/lib/systemd/user/varkel.service 2>&1 | grep -v 'man varkel(8)' &&
    fail "the user units do not verify" || true

# A sound server in that session, reached the way the daemon finds it
# ($XDG_RUNTIME_DIR/pulse/native); PipeWire is not installed here.
# The pulseaudio package's user socket starts it on the first client, as
# on a desktop; without it, one is started by hand.
sound=no
if command -v pulseaudio >/dev/null && command -v pactl >/dev/null; then
    if ! as_desk pactl info >/dev/null 2>&1; then
        as_desk pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-null-sink \
            --load=module-native-protocol-unix >/dev/null 2>&1 || true
    fi
    for _ in $(seq 50); do
        as_desk pactl info >/dev/null 2>&1 && { sound=yes; break; }
        sleep 0.1
    done
fi
if [[ $sound == yes ]]; then
    options='-x p -i'
else
    options='-x n -i'
    echo "sound: no PulseAudio in the session; the sidetone is not checked"
fi
in_ns sh -c "echo 'VARKEL_OPTIONS=\"$options\"' >/run/$desk_user/.config/varkel/options &&
    chown $desk_user: /run/$desk_user/.config/varkel/options"

step "the port is the system socket's: the user socket cannot have it"
in_ns systemctl start varkel.socket ||
    { in_ns journalctl -u varkel.socket -b --no-pager | tail -20; fail "varkel.socket does not start"; }
as_desk systemctl --user enable --now varkel.socket >/dev/null 2>&1 &&
    fail "the user socket started while the system socket held the port"
refusal=$(in_ns journalctl _SYSTEMD_USER_UNIT=varkel.socket -b --no-pager -o cat)
grep -F "UDP port 6789 is in use already (the system or the user varkel.socket" <<<"$refusal" ||
    { echo "$refusal"; fail "the user socket's log does not say the port is taken"; }

step "switch: the system socket off, the user socket on"
in_ns systemctl disable --now varkel.socket varkel.service >/dev/null 2>&1
as_desk systemctl --user reset-failed varkel.socket
as_desk systemctl --user enable --now varkel.socket ||
    fail "the user socket does not start once the port is free"
sockets=$(ss -Hlun 'sport = :6789')
[[ $(awk '{print $4}' <<<"$sockets" | sort | tr '\n' ' ') == "127.0.0.1:6789 [::1]:6789 " ]] ||
    fail "the user socket is not bound to 127.0.0.1:6789 and [::1]:6789 alone"
echo_reply=$(printf 'de desk^' | nc -u -W1 -w15 127.0.0.1 6789 | tr -d '\r' || true)
[[ $echo_reply == "de desk" ]] || fail "no echo from the user service (got \"$echo_reply\")"
user_journal() {
    in_ns journalctl _SYSTEMD_USER_UNIT=varkel.service -b --no-pager -o cat
}
for _ in $(seq 50); do
    user_journal | grep -qF 'keying event "0"' && break
    sleep 0.1
done
journal=$(user_journal)
grep -qF 'varkel:II: request: "de desk^"' <<<"$journal" ||
    { echo "$journal" | tail -20; fail "the text is not in the user service's journal"; }
grep -qF 'varkel:II: keying event "1"' <<<"$journal" ||
    { echo "$journal" | tail -20; fail "the user service keyed nothing"; }
[[ $(as_desk systemctl --user show -p MainPID --value varkel.service) != 0 ]] ||
    fail "the daemon does not run under the user manager"
echo "user service: $(grep -c 'keying event' <<<"$journal") key edges for \"de desk\"; $(
    grep -oE 'real-time scheduling( refused \([^)]*\)|: SCHED_[A-Z]+ at priority [0-9]+)' \
        <<<"$journal" | head -1)"
# No system bus runs in this namespace, so RealtimeKit cannot be asked
# here (tests/realtime_kit runs the real one).
if [[ $sound == yes ]]; then
    grep -qF 'starting generator with sound system "PulseAudio": success' <<<"$journal" ||
        { echo "$journal" | tail -20; fail "the user service has no PulseAudio sidetone"; }
    inputs=$(as_desk pactl list short sink-inputs)
    default_sink=$(as_desk pactl get-default-sink)
    sink=$(as_desk pactl list short sinks | awk -v name="$default_sink" '$2 == name { print $1 }')
    [[ -n $inputs ]] && awk -v sink="$sink" '$2 != sink { exit 1 }' <<<"$inputs" ||
        { echo "$inputs"; fail "the daemon's stream is not on the session's sink"; }
    echo "sidetone: the stream plays on the session's sink \"$default_sink\""
fi
as_desk systemctl --user disable --now varkel.socket varkel.service >/dev/null 2>&1
in_ns systemctl stop "user@$desk_uid.service"
[[ -z $(ss -Hlun 'sport = :6789') ]] || fail "port 6789 is still bound after the user units stopped"
