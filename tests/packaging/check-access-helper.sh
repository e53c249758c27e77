#!/usr/bin/env bash
# Runs jolto-host-access against a scratch root (JOLTO_ACCESS_SYSROOT) with stand-in modprobe
# and udevadm that log their calls, and checks what it writes, what it asks udev and the
# kernel for, and its exit status, including when steps fail.
#
#   check-access-helper.sh HELPER RULES_FILE MODULES_FILE    exit 0 pass, 1 fail, 77 skipped
set -uo pipefail

helper=$1
rules=$2
modules=$3

# The helper insists on root. Outside root, a user namespace gives a root of its own.
if [ "$(id -u)" -ne 0 ]; then
    if unshare -r true 2>/dev/null; then
        exec unshare -r "$0" "$@"
    fi
    echo "skipped: needs root or a user namespace to run the helper as root"
    exit 77
fi

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/jolto-helper.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin"
# Stand-ins: each call is logged; JOLTO_FAKE_FAIL names the calls that fail.
for tool in modprobe udevadm; do
    cat >"$scratch/bin/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"$scratch/calls"
case " \${JOLTO_FAKE_FAIL:-} " in *" $tool \$1 "*) exit 1 ;; esac
exit 0
EOF
    chmod +x "$scratch/bin/$tool"
done

# run NAME [VAR=VALUE...]: runs the helper on the root $scratch/NAME, leaving its status in
# $status, its output in $out, and the stand-ins' calls in $calls.
run() {
    local root=$scratch/$1
    shift
    mkdir -p "$root"
    : >"$scratch/calls"
    out=$(env PATH="$scratch/bin:/usr/bin:/bin" JOLTO_ACCESS_SYSROOT="$root" "$@" "$helper" 2>&1)
    status=$?
    calls=$(cat "$scratch/calls")
}
expect_status() {
    [ "$status" -eq "$1" ] || fail "$2: exit status $status, expected $1; output: $out"
}
expect_call() {
    printf '%s\n' "$calls" | grep -F -x -q -- "$1" || fail "$2: no call '$1' in: $calls"
}

# 1. A bare system: the rule and the module list go to /etc, the modules load after udev has
#    reloaded its rules, and udev is asked to apply the rule to the existing nodes and gamepads.
mkdir -p "$scratch/bare/sys/bus/hid/devices/0006:1209:0001.0003" \
    "$scratch/bare/sys/bus/hid/devices/0003:046D:C52B.0001"
# A uinput gamepad and the program's own keyboard and mouse (product 0002).
for input in input7:0001 input8:0002; do
    mkdir -p "$scratch/bare/sys/devices/virtual/input/${input%:*}/id"
    printf '0006\n' >"$scratch/bare/sys/devices/virtual/input/${input%:*}/id/bustype"
    printf '1209\n' >"$scratch/bare/sys/devices/virtual/input/${input%:*}/id/vendor"
    printf '%s\n' "${input#*:}" >"$scratch/bare/sys/devices/virtual/input/${input%:*}/id/product"
done
run bare
expect_status 0 "bare system"
cmp -s "$rules" "$scratch/bare/etc/udev/rules.d/70-jolto-host.rules" || fail "rule not installed"
cmp -s "$modules" "$scratch/bare/etc/modules-load.d/jolto-host.conf" ||
    fail "module list not installed"
[ "$(stat -c %a "$scratch/bare/etc/udev/rules.d/70-jolto-host.rules")" = 644 ] ||
    fail "installed rule is not mode 644"
[ -z "$(find "$scratch/bare/etc" -name '.*')" ] || fail "temporary files left behind"
expect_call "udevadm control --reload" "bare system"
expect_call "modprobe uinput" "bare system"
expect_call "modprobe uhid" "bare system"
expect_call "udevadm trigger --action=change --subsystem-match=misc --sysname-match=uinput --sysname-match=uhid" "bare system"
expect_call "udevadm trigger --action=change --parent-match=/sys/bus/hid/devices/0006:1209:0001.0003" "bare system"
expect_call "udevadm settle --timeout=30" "bare system"
expect_call "udevadm trigger --action=change --parent-match=/sys/devices/virtual/input/input7" "bare system"
printf '%s\n' "$calls" | grep -q C52B && fail "bare system: another vendor's HID device was triggered"
printf '%s\n' "$calls" | grep -q input8 && fail "bare system: a device that is no gamepad was triggered"
[ "$(printf '%s\n' "$calls" | grep -n -e 'control --reload' -e 'modprobe uinput' | cut -d: -f1 | tr '\n' ' ')" = "1 2 " ] ||
    fail "bare system: modules loaded before udev reloaded its rules: $calls"

# 2. Running again changes no file.
before=$(stat -c '%i %Y' "$scratch/bare/etc/udev/rules.d/70-jolto-host.rules" "$scratch/bare/etc/modules-load.d/jolto-host.conf")
sleep 1.1
run bare
expect_status 0 "second run"
after=$(stat -c '%i %Y' "$scratch/bare/etc/udev/rules.d/70-jolto-host.rules" "$scratch/bare/etc/modules-load.d/jolto-host.conf")
[ "$before" = "$after" ] || fail "second run rewrote files that were already in place"

# 3. Installed by the package: the copies under /usr/lib are in effect, /etc stays untouched.
mkdir -p "$scratch/packaged/usr/lib/udev/rules.d" "$scratch/packaged/usr/lib/modules-load.d"
cp "$rules" "$scratch/packaged/usr/lib/udev/rules.d/"
cp "$modules" "$scratch/packaged/usr/lib/modules-load.d/"
run packaged
expect_status 0 "packaged"
[ ! -e "$scratch/packaged/etc" ] || fail "packaged: wrote into /etc although the package's files are in effect"

# 4. An outdated copy in /etc shadows the package's rule: it is replaced.
mkdir -p "$scratch/packaged/etc/udev/rules.d"
echo 'KERNEL=="uinput", MODE="0600"' >"$scratch/packaged/etc/udev/rules.d/70-jolto-host.rules"
run packaged
expect_status 0 "outdated /etc copy"
cmp -s "$rules" "$scratch/packaged/etc/udev/rules.d/70-jolto-host.rules" ||
    fail "outdated /etc copy was not replaced"

# 5. Failures are reported, and the other steps still run.
run failing JOLTO_FAKE_FAIL="modprobe uhid"
expect_status 1 "uhid module missing"
expect_call "modprobe uinput" "uhid module missing"
expect_call "udevadm settle --timeout=30" "uhid module missing"
printf '%s\n' "$out" | grep -q "couldn't load the uhid module" ||
    fail "uhid module missing: not explained: $out"

run noudev JOLTO_FAKE_FAIL="udevadm control"
expect_status 1 "udev not running"
expect_call "modprobe uinput" "udev not running"
printf '%s\n' "$calls" | grep -q trigger && fail "udev not running: still asked udev to trigger"
printf '%s\n' "$out" | grep -q "udev is not running" || fail "udev not running: not explained: $out"

mkdir -p "$scratch/readonly/etc"
chmod 0555 "$scratch/readonly/etc"
# In a user namespace (or with CAP_DAC_OVERRIDE) root writes anyway; only check when it can't.
if ! touch "$scratch/readonly/etc/probe" 2>/dev/null; then
    run readonly
    expect_status 1 "read-only /etc"
fi
chmod 0755 "$scratch/readonly/etc"

# 6. Wrong usage, and not root: refused before anything happens.
: >"$scratch/calls"
out=$(env PATH="$scratch/bin:/usr/bin:/bin" JOLTO_ACCESS_SYSROOT="$scratch/args" "$helper" --force 2>&1)
status=$?
expect_status 2 "an argument"
if command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
    out=$(setpriv --reuid=65534 --regid=65534 --clear-groups \
        env PATH="$scratch/bin:/usr/bin:/bin" JOLTO_ACCESS_SYSROOT="$scratch/user" "$helper" 2>&1)
    status=$?
    expect_status 3 "not root"
    [ -z "$(cat "$scratch/calls")" ] || fail "not root: still called $(cat "$scratch/calls")"
    [ ! -e "$scratch/user/etc" ] || fail "not root: wrote files"
fi

[ $failures -eq 0 ] || exit 1
echo "ok: jolto-host-access installs, loads, triggers and reports failures as expected"
