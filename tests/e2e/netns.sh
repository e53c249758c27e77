#!/usr/bin/env bash
# Two network namespaces joined only by a veth pair, each with its own D-Bus system bus and
# Avahi daemon, so that a host and a phone can find each other by DNS-SD without a packet
# reaching this machine's own network or its own mDNS daemon.
#
#   netns.sh up KEY                  creates both namespaces and starts the daemons
#   netns.sh down KEY                stops every process in them and deletes them
#   netns.sh exec KEY host|phone COMMAND [ARGS...]
#                                    runs COMMAND in one namespace, its system bus the private one
#   netns.sh name KEY host|phone     prints the namespace's name
#   netns.sh folder KEY              prints the pair's state folder, which `down` removes
#
# KEY names one pair (a build folder, say): namespaces, interfaces, state folder and host names
# all derive from it, so that two builds testing at the same time never share a daemon. `up`
# clears what a killed earlier run left behind under the same KEY.
#
# The host side is 10.77.0.1 on interface jolto0, the phone side 10.77.0.2 on jolto0 of its own
# namespace; neither has a route anywhere else. Avahi calls the two ends "jolto-<tag>-host" and
# "jolto-<tag>-phone".
#
# Exit status of `up`: 0 ready, 77 this machine cannot make namespaces (not root, no `ip`,
# Avahi or D-Bus daemon missing; the reason is printed), 1 anything else. Under CI (CI=true) a
# missing prerequisite is a failure (1), since CI has to prove discovery. `down` fails only if
# something it started is still there afterwards.
set -uo pipefail

usage() {
    sed -n '6,11s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
[ $# -ge 2 ] || usage
action=$1
key=$2
shift 2

tag=$(printf '%s' "$key" | sha256sum | cut -c1-8)
state=/tmp/jolto-e2e-$tag
sides=(host phone)
netns_of() { echo "jolto-$tag-$1"; }
address_of() { [ "$1" = host ] && echo 10.77.0.1 || echo 10.77.0.2; }
bus_of() { echo "unix:path=$state/$1/bus"; }
interface=jolto0

on_ci() {
    case ${CI:-} in true | TRUE | True | 1 | yes) return 0 ;; esac
    return 1
}
cannot_run() {
    if on_ci; then
        echo "netns: FAILED, CI must run the discovery tests: $*" >&2
        exit 1
    fi
    echo "netns: skipped: $*" >&2
    exit 77
}
fail() {
    echo "netns: $*" >&2
    exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    local until=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $until ] || return 1
        sleep 0.05
    done
}

# A PID from a state file is only ours if the process still lives in our namespace: after a
# crash and a reboot, the number may belong to anyone.
in_namespace() {
    local link
    link=$(readlink "/proc/$1/ns/net" 2>/dev/null) || return 1
    [ "$link" = "net:[$(stat -L -c %i "/run/netns/$2" 2>/dev/null)]" ]
}

gone() {
    local pid
    for pid in "$@"; do
        ! kill -0 "$pid" 2>/dev/null || return 1
    done
}

# Asks all at once, since Avahi takes a few seconds to say goodbye on the network; whatever is
# still there after 10 s is killed.
stop_pids() {
    [ $# -gt 0 ] || return 0
    kill -TERM "$@" 2>/dev/null
    wait_for 10 gone "$@" && return 0
    kill -KILL "$@" 2>/dev/null
    wait_for 5 gone "$@" || echo "netns: a process of $* survived SIGKILL" >&2
}

down() {
    local side ns pid f pids=() left=0
    # The daemons this script started, then whatever else a test left in the namespaces.
    for side in "${sides[@]}"; do
        ns=$(netns_of "$side")
        for f in avahi dbus; do
            pid=$(cat "$state/$side/$f.pid" 2>/dev/null) || continue
            in_namespace "$pid" "$ns" && pids+=("$pid")
        done
    done
    stop_pids "${pids[@]}"
    pids=()
    for side in "${sides[@]}"; do
        ns=$(netns_of "$side")
        [ -e "/run/netns/$ns" ] && pids+=($(ip netns pids "$ns" 2>/dev/null))
    done
    stop_pids "${pids[@]}"
    for side in "${sides[@]}"; do
        ns=$(netns_of "$side")
        [ ! -e "/run/netns/$ns" ] || ip netns del "$ns" || left=1
    done
    [ $left -eq 0 ] && rm -rf "$state"
    return $left
}

write_configs() {
    local side=$1 dir=$state/$1
    mkdir -p "$dir/run"
    cat >"$dir/dbus.conf" <<XML
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>$(bus_of "$side")</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
XML
    # No workstation or hardware records: only what the test publishes travels.
    cat >"$dir/avahi.conf" <<CONF
[server]
host-name=jolto-$tag-$side
domain-name=local
use-ipv4=yes
use-ipv6=yes
allow-interfaces=$interface
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
CONF
}

start_daemons() {
    local side=$1 ns dir=$state/$1
    ns=$(netns_of "$side")
    ip netns exec "$ns" dbus-daemon --config-file="$dir/dbus.conf" --nofork --nopidfile \
        </dev/null >"$dir/dbus.log" 2>&1 &
    echo $! >"$dir/dbus.pid"
    wait_for 20 test -S "$state/$side/bus" || fail "the $side's D-Bus daemon did not start: $(cat "$dir/dbus.log")"
    # Avahi's pid file and socket live at fixed paths under /run: each daemon gets a /run of its
    # own (ip netns exec gives every command a private mount namespace, so the bind mount stays
    # there) and never meets this machine's daemon, if it has one.
    ip netns exec "$ns" env DBUS_SYSTEM_BUS_ADDRESS="$(bus_of "$side")" sh -c "
        mount --bind '$dir/run' /run && exec avahi-daemon -f '$dir/avahi.conf' --no-chroot \
            --no-drop-root --no-proc-title --debug" </dev/null >"$dir/avahi.log" 2>&1 &
    echo $! >"$dir/avahi.pid"
}

avahi_ready() {
    grep -q "Server startup complete" "$state/$1/avahi.log"
}

up() {
    [ "$(id -u)" = 0 ] || cannot_run "network namespaces need root"
    local tool
    for tool in ip dbus-daemon avahi-daemon; do
        command -v "$tool" >/dev/null || cannot_run "$tool is not installed (scripts/setup.sh installs it)"
    done
    down || fail "could not clear what an earlier run left"

    local host phone
    host=$(netns_of host)
    phone=$(netns_of phone)
    if ! error=$(ip netns add "$host" 2>&1); then
        cannot_run "ip netns add failed: $error"
    fi
    ip netns add "$phone" || fail "ip netns add $phone failed"
    # Made inside the namespaces directly, so the machine's own namespace never holds them.
    ip link add "$interface" netns "$host" type veth peer name "$interface" netns "$phone" ||
        fail "no veth pair"
    local side ns
    for side in "${sides[@]}"; do
        ns=$(netns_of "$side")
        ip -n "$ns" addr add "$(address_of "$side")/24" dev "$interface" &&
            ip -n "$ns" link set lo up &&
            ip -n "$ns" link set "$interface" multicast on up || fail "could not set up $ns"
        write_configs "$side"
    done
    for side in "${sides[@]}"; do start_daemons "$side"; done
    for side in "${sides[@]}"; do
        wait_for 30 avahi_ready "$side" ||
            fail "the $side's Avahi daemon did not start: $(tail -n 20 "$state/$side/avahi.log")"
    done
    echo "netns: ready, host $host ($(address_of host)), phone $phone ($(address_of phone))"
}

case $action in
up)
    trap 'status=$?; [ $status -eq 0 ] || [ $status -eq 77 ] || down' EXIT
    up
    ;;
down)
    down || fail "cleanup left processes or namespaces behind"
    ;;
exec)
    [ $# -ge 2 ] || usage
    side=$1
    shift
    case $side in host | phone) ;; *) usage ;; esac
    exec ip netns exec "$(netns_of "$side")" env DBUS_SYSTEM_BUS_ADDRESS="$(bus_of "$side")" "$@"
    ;;
name)
    [ $# -eq 1 ] || usage
    netns_of "$1"
    ;;
folder)
    echo "$state"
    ;;
*) usage ;;
esac
