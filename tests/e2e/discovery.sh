#!/usr/bin/env bash
# DNS-SD between two machines, played by the two network namespaces of netns.sh: jolto-host
# runs headless in the host namespace, jolto-phone in the phone namespace finds it under its
# name and port through the phone side's own Avahi daemon, pairs with the PIN the host prints,
# and plays; the controller page is found as _http._tcp under the same name and loads.
#
#   discovery.sh KEY HOST_PROGRAM PHONE_PROGRAM      exit 0 pass, 1 fail, 77 skipped
#
# KEY is the one `netns.sh up` was given. Every wait has a deadline; the host is stopped by
# its process id when the script ends, whatever the outcome.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { sed -n '7p' "$0" >&2; exit 2; }
key=$1
host_program=$2
phone_program=$3
netns=$here/netns.sh

on_ci() {
    case ${CI:-} in true | TRUE | True | 1 | yes) return 0 ;; esac
    return 1
}
fail() {
    echo "FAIL: $*"
    for f in host.out host.err discover.out pair.out play.out web.out; do
        [ -s "$work/$f" ] && { echo "--- $f"; cat "$work/$f"; }
    done
    exit 1
}

for side in host phone; do
    if ! [ -e "/run/netns/$("$netns" name "$key" "$side")" ]; then
        reason="the namespaces are not up (the test e2e.netns.up made them, or said why not)"
        on_ci && { echo "FAIL: $reason"; exit 1; }
        echo "skipped: $reason"
        exit 77
    fi
done

# Inside the pair's folder, so that `netns.sh down` clears it even after a SIGKILL.
work=$(mktemp -d "$("$netns" folder "$key")/discovery.XXXXXX") || exit 1
host_pid=
cleanup() {
    if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
        kill -TERM "$host_pid"
        for _ in $(seq 100); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$host_pid" 2>/dev/null
    fi
    [ -n "$host_pid" ] && wait "$host_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $1 seconds for a line starting with $2 in file $3; prints the first such line.
wait_line() {
    local until=$((SECONDS + $1)) line
    while :; do
        line=$(grep -m 1 -- "^$2" "$3" 2>/dev/null) && { echo "$line"; return 0; }
        [ $SECONDS -lt $until ] || return 1
        [ -z "$host_pid" ] || kill -0 "$host_pid" 2>/dev/null || return 1
        sleep 0.05
    done
}

# Waits up to $1 seconds for $2 lines starting with $3 in file $4.
wait_count() {
    local until=$((SECONDS + $1))
    until [ "$(grep -c -- "^$3" "$4" 2>/dev/null)" -ge "$2" ]; do
        [ $SECONDS -lt $until ] || return 1
        sleep 0.05
    done
}

mkdir -p "$work/config/jolto-host" "$work/runtime"
chmod 700 "$work/runtime"
# The host's outputs are of no interest here, and on a desktop with access to /dev/uinput or
# /dev/uhid they would type into the session; read-only empty files stand in for both, inside
# the host's own mount namespace only.
echo '{"outputMode": "keyboardMouse", "rumbleFromAudio": false}' >"$work/config/jolto-host/settings.json"
: >"$work/no-device"
"$netns" exec "$key" host env XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
    HOME="$work" sh -c '
    for device in /dev/uinput /dev/uhid; do
        if [ -e "$device" ]; then
            mount --bind "$0" "$device" && mount -o remount,bind,ro "$device" || exit 1
        fi
    done
    exec "$@"' "$work/no-device" "$host_program" --headless \
    </dev/null >"$work/host.out" 2>"$work/host.err" &
host_pid=$!

ready=$(wait_line 60 "listener ready port=" "$work/host.out") || fail "the host did not get ready"
port=${ready#listener ready port=}
pin=$(wait_line 10 "pin " "$work/host.out") || fail "the host showed no PIN"
pin=${pin#pin }
echo "host: port $port, PIN $pin"

# Discovery, from the other namespace: the first service found has to be this host's.
started=$(date +%s.%N)
"$netns" exec "$key" phone "$phone_program" discover --timeout 30 --first \
    >"$work/discover.out" 2>&1 || fail "jolto-phone discover found nothing"
found=$(grep -m 1 '^service ' "$work/discover.out")
echo "discovered in $(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s: $found"
case $found in
*" port=$port "*) ;;
*) fail "the service found is not on the host's port $port" ;;
esac
case $found in
*" address=10.77.0.1 "* | *" address=fe80::"*"%jolto0 "*) ;;
*) fail "the service found does not resolve to the host's side of the veth pair" ;;
esac
name=${found#service name=}
name=${name%% address=*}

# Pairing through discovery, with the PIN the host printed.
"$netns" exec "$key" phone "$phone_program" pair discover --pin "$pin" --timeout 30 \
    --identity "$work/phone.json" --name "Namespace Phone" >"$work/pair.out" 2>&1 ||
    fail "pairing failed"
welcome=$(grep -m 1 '^welcome ' "$work/pair.out")
case $welcome in
"welcome status=accepted session="*" player=1 host=$name") ;;
*) fail "expected an accepted welcome from $name as player 1, got: $welcome" ;;
esac
# Each PIN admits one phone: the host shows the next one (unless the draw repeated the old
# number, one chance in ten thousand). Pairing says goodbye at once, so the host's list of
# controllers may never have shown the phone.
wait_count 10 2 "pin " "$work/host.out" || echo "note: no new PIN shown; the draw may have repeated"

# Playing: trusted now, so no PIN; a press, a ping answered through the namespaces, goodbye.
printf 'press south\nwait 0.2\nping\nrelease south\nwait 0.5\n' >"$work/script"
"$netns" exec "$key" phone "$phone_program" play discover --script "$work/script" --timeout 30 \
    --identity "$work/phone.json" --name "Namespace Phone" >"$work/play.out" 2>&1 ||
    fail "playing failed"
grep -q "^welcome status=accepted session=.* player=1 " "$work/play.out" ||
    fail "the trusted phone was not accepted"
grep -q '^pong rtt_us=' "$work/play.out" || fail "the ping was not answered"
wait_count 10 1 'controller joined player=1 name="Namespace Phone"' "$work/host.out" ||
    fail "the host did not report the phone joining"
wait_count 10 1 'controller left player=1 name="Namespace Phone"' "$work/host.out" ||
    fail "the host did not report the phone's goodbye"
# The controller page: advertised beside the service under the same name, on the port of the
# address the host printed, and served across the namespaces.
web=$(wait_line 10 "web http://" "$work/host.out") || fail "the host printed no web line"
url=${web#web }
web_port=${url##*:}
web_port=${web_port%/}
until=$((SECONDS + 30))
until "$netns" exec "$key" phone avahi-browse --resolve --terminate --parsable --no-db-lookup _http._tcp \
    >"$work/web.out" 2>&1 && grep -q "^=.*;$web_port;" "$work/web.out"; do
    [ $SECONDS -lt $until ] || fail "the controller page was not found as _http._tcp on port $web_port"
    sleep 0.5
done
page=$(grep -m 1 "^=.*;$web_port;" "$work/web.out" | sed 's/\\032/ /g')
plain=${name#\"}
plain=${plain%\"}
case $page in
*";$plain;_http._tcp;"*) ;;
*) fail "the controller page is not advertised under the host's name $name: $page" ;;
esac
status=$("$netns" exec "$key" phone /usr/bin/python3 -c \
    'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=10).status)' \
    "$url" 2>>"$work/web.out") || fail "the controller page at $url did not load"
[ "$status" = 200 ] || fail "the controller page at $url answered $status"
echo "PASS: discovered, paired and played across the namespaces; the page at $url"
