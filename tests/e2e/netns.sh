#!/usr/bin/env bash
#   netns.sh up|down KEY
#   netns.sh discovery KEY HOST_PROGRAM PHONE_PROGRAM
#
# DNS-SD between two machines, played by two network namespaces (host 10.77.0.1, phone
# 10.77.0.2) joined only by a veth pair, each with its own D-Bus bus and Avahi daemon, so that no
# packet reaches this machine's network or mDNS daemon. Every name derives from KEY (a build
# folder), so that two builds testing at once never share a daemon. Exit status 0 pass, 1 fail,
# 77 this machine cannot do it (the reason is printed; a failure under CI=true).
set -uo pipefail
action=$1
key=$2
shift 2
tag=$(printf '%s' "$key" | sha256sum | cut -c1-8)
state=/tmp/jolto-e2e-$tag
sides=(host phone)

fail() {
    echo "FAIL: $*"
    [ -z "${work:-}" ] || tail -n +1 "$work"/*.out "$work"/*.err
    exit 1
}
cannot_run() {
    [ "${CI:-}" = true ] && fail "CI must run the discovery test: $*"
    echo "skipped: $*"
    exit 77
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local until=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $until ] || return 1
        sleep 0.05
    done
}
# Runs a command in side $1's namespace, on that side's bus.
in_ns() {
    ip netns exec "jolto-$tag-$1" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$state/$1/bus" "${@:2}"
}
gone() {
    for pid; do
        ! kill -0 "$pid" 2>/dev/null || return 1
    done
}

down() {
    local side pids=()
    for side in "${sides[@]}"; do
        [ -e "/run/netns/jolto-$tag-$side" ] && pids+=($(ip netns pids "jolto-$tag-$side"))
    done
    # All at once, since Avahi takes a few seconds to say goodbye on the network.
    if [ ${#pids[@]} -gt 0 ]; then
        kill -TERM "${pids[@]}" 2>/dev/null
        wait_for 10 gone "${pids[@]}" || kill -KILL "${pids[@]}" 2>/dev/null
        wait_for 5 gone "${pids[@]}" || return 1
    fi
    for side in "${sides[@]}"; do
        [ ! -e "/run/netns/jolto-$tag-$side" ] || ip netns del "jolto-$tag-$side" || return 1
    done
    rm -rf "$state"
}

up() {
    [ "$(id -u)" = 0 ] || cannot_run "network namespaces need root"
    for tool in ip dbus-daemon avahi-daemon avahi-browse; do
        command -v $tool >/dev/null || cannot_run "$tool is not installed (scripts/setup.sh installs it)"
    done
    down || fail "could not clear what an earlier run left"
    error=$(ip netns add "jolto-$tag-host" 2>&1) || cannot_run "ip netns add failed: $error"
    ip netns add "jolto-$tag-phone" || fail "ip netns add failed"
    # Made inside the namespaces, so that the machine's own namespace never holds them.
    ip link add jolto0 netns "jolto-$tag-host" type veth peer name jolto0 netns "jolto-$tag-phone" ||
        fail "no veth pair"
    for side in "${sides[@]}"; do
        dir=$state/$side
        mkdir -p "$dir/run"
        ip -n "jolto-$tag-$side" addr add "10.77.0.$([ $side = host ] && echo 1 || echo 2)/24" dev jolto0 &&
            ip -n "jolto-$tag-$side" link set lo up &&
            ip -n "jolto-$tag-$side" link set jolto0 multicast on up || fail "could not set up $side"
        # No workstation or hardware records: only what the test publishes travels.
        cat >"$dir/avahi.conf" <<CONF
[server]
host-name=jolto-$tag-$side
allow-interfaces=jolto0
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
        # The session bus's configuration lets Avahi own its name on a system bus of its own.
        in_ns $side dbus-daemon --session --address="unix:path=$dir/bus" --nofork --nopidfile \
            </dev/null >"$dir/dbus.log" 2>&1 &
        wait_for 20 test -S "$dir/bus" || fail "the $side's D-Bus daemon did not start: $(cat "$dir/dbus.log")"
        # Avahi's pid file and socket are at fixed paths under /run: each daemon gets its own
        # (ip netns exec gives every command a private mount namespace).
        in_ns $side sh -c "mount --bind '$dir/run' /run && exec avahi-daemon -f '$dir/avahi.conf' \
            --no-chroot --no-drop-root --no-proc-title --debug" </dev/null >"$dir/avahi.log" 2>&1 &
    done
    for side in "${sides[@]}"; do
        wait_for 30 grep -q "Server startup complete" "$state/$side/avahi.log" ||
            fail "the $side's Avahi daemon did not start: $(tail -n 20 "$state/$side/avahi.log")"
    done
}

# Waits up to $1 seconds for a line starting with $2 in the host's output; prints it.
wait_line() { wait_for "$1" grep -s -m 1 -- "^$2" "$work/host.out"; }

discovery() {
    local host_program=$1 phone_program=$2
    [ -e "/run/netns/jolto-$tag-phone" ] ||
        cannot_run "the namespaces are not up (the test e2e.netns.up made them, or said why not)"
    # Inside the pair's folder, so that `down` clears it even after a SIGKILL.
    work=$(mktemp -d "$state/discovery.XXXXXX") || exit 1
    mkdir -p "$work/config/jolto-host" "$work/runtime"
    chmod 700 "$work/runtime"
    echo '{"outputMode": "keyboardMouse", "rumbleFromAudio": false}' >"$work/config/jolto-host/settings.json"
    # On a desktop with access to /dev/uinput or /dev/uhid the host would type into the session;
    # a read-only empty file stands in for both, in the host's own mount namespace only.
    : >"$work/no-device"
    in_ns host env XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" HOME="$work" sh -c '
        for device in /dev/uinput /dev/uhid; do
            [ ! -e "$device" ] || { mount --bind "$0" "$device" && mount -o remount,bind,ro "$device"; } || exit 1
        done
        exec "$@"' "$work/no-device" "$host_program" --headless </dev/null >"$work/host.out" 2>"$work/host.err" &

    ready=$(wait_line 60 "listener ready port=") || fail "the host did not get ready"
    port=${ready#listener ready port=}
    pin=$(wait_line 10 "pin ") || fail "the host showed no PIN"

    # The first service found has to be this host's, on its side of the veth pair.
    in_ns phone "$phone_program" discover --timeout 30 --first >"$work/discover.out" 2>&1 ||
        fail "jolto-phone discover found nothing"
    found=$(grep -m 1 '^service ' "$work/discover.out")
    [[ $found == *" port=$port "* ]] || fail "the service found is not on the host's port $port"
    [[ $found == *" address=10.77.0.1 "* || $found == *" address=fe80::"*"%jolto0 "* ]] ||
        fail "the service found does not resolve to the host's side of the veth pair"
    name=${found#service name=}
    name=${name%% address=*}

    in_ns phone "$phone_program" pair discover --pin "${pin#pin }" --timeout 30 \
        --identity "$work/phone.json" --name "Namespace Phone" >"$work/pair.out" 2>&1 ||
        fail "pairing failed"
    welcome=$(grep -m 1 '^welcome ' "$work/pair.out")
    [[ $welcome == "welcome status=accepted session="*" player=1 host=$name" ]] ||
        fail "expected an accepted welcome from $name as player 1, got: $welcome"

    # The controller page: advertised under the same name on the port the host printed.
    web=$(wait_line 10 "web http://") || fail "the host printed no web line"
    url=${web#web }
    web_port=${url##*:}
    web_port=${web_port%/}
    browse() {
        in_ns phone avahi-browse --resolve --terminate --parsable --no-db-lookup _http._tcp \
            >"$work/web.out" 2>&1 && grep -q "^=.*;$web_port;" "$work/web.out"
    }
    wait_for 30 browse || fail "the controller page was not found as _http._tcp on port $web_port"
    plain=${name#\"}
    [[ $(grep -m 1 "^=.*;$web_port;" "$work/web.out" | sed 's/\\032/ /g') == *";${plain%\"};_http._tcp;"* ]] ||
        fail "the controller page is not advertised under the host's name $name"
    in_ns phone /usr/bin/python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=10)' \
        "$url" 2>>"$work/web.out" || fail "the controller page at $url did not load"
    echo "PASS: discovered and paired across the namespaces; the page at $url"
}

case $action in
up)
    trap 'status=$?; [ $status -eq 0 ] || [ $status -eq 77 ] || down' EXIT
    up
    ;;
down) down || fail "cleanup left processes or namespaces behind" ;;
discovery) [ $# -eq 2 ] && discovery "$@" ;;
*) exit 2 ;;
esac
