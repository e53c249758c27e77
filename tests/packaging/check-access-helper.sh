#!/usr/bin/env bash
#   check-access-helper.sh HELPER RULES_FILE MODULES_FILE    exit 0 pass, 1 fail, 77 skipped
#
# jolto-host-access on a scratch root (JOLTO_ACCESS_SYSROOT) with stand-in modprobe and udevadm
# that log their calls: what it writes, asks udev and the kernel for, and its exit status.
. "$(dirname "$0")/checks.sh"
helper=$1
rules=$2
modules=$3
# The helper insists on root; a user namespace gives one.
if [ "$(id -u)" -ne 0 ]; then
    unshare -r true 2>/dev/null && exec unshare -r "$0" "$@"
    skip "needs root or a user namespace to run the helper as root"
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/jolto-helper.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin"
# Stand-ins: each call is logged; JOLTO_FAKE_FAIL names the calls that fail.
for tool in modprobe udevadm; do
    cat >"$scratch/bin/$tool" <<SH
#!/bin/sh
echo "$tool \$*" >>"$scratch/calls"
case " \${JOLTO_FAKE_FAIL:-} " in *" $tool \$1 "*) exit 1 ;; esac
SH
    chmod +x "$scratch/bin/$tool"
done

# run CASE STATUS [VAR=VALUE... | COMMAND...]: the helper (with the words in $arg) on the root
# $scratch/CASE must exit with STATUS; its output is left in $out, the stand-ins' calls in $calls.
run() {
    case=$1
    mkdir -p "$scratch/$case"
    : >"$scratch/calls"
    out=$(env PATH="$scratch/bin:/usr/bin:/bin" JOLTO_ACCESS_SYSROOT="$scratch/$case" "${@:3}" \
        "$helper" ${arg:-} 2>&1)
    status=$?
    calls=$(cat "$scratch/calls")
    [ $status -eq "$2" ] || fail "$case: exit status $status, expected $2; output: $out"
}
called() { grep -F -x -q -- "$1" <<<"$calls" || fail "$case: no call '$1' in: $calls"; }
never() { ! grep -q -- "$1" <<<"$calls" || fail "$case: $2: $calls"; }
said() { grep -q -- "$1" <<<"$out" || fail "$case: not explained: $out"; }
installed() { cmp -s "$2" "$scratch/$case/$1" || fail "$case: $1 is not the shipped file"; }
rule=etc/udev/rules.d/70-jolto-host.rules
list=etc/modules-load.d/jolto-host.conf

# A bare system with a uhid and a uinput gamepad, another vendor's HID device and the program's
# keyboard and mouse (product 0002): the files go to /etc, the modules load after udev reloads.
mkdir -p "$scratch/bare/sys/bus/hid/devices/"{0006:1209:0001.0003,0003:046D:C52B.0001}
for input in input7:0001 input8:0002; do
    id=$scratch/bare/sys/devices/virtual/input/${input%:*}/id
    mkdir -p "$id"
    echo 0006 >"$id/bustype"
    echo 1209 >"$id/vendor"
    echo "${input#*:}" >"$id/product"
done
run bare 0
installed $rule "$rules"
installed $list "$modules"
[ "$(stat -c %a "$scratch/bare/$rule")" = 644 ] || fail "installed rule is not mode 644"
[ -z "$(find "$scratch/bare/etc" -name '.*')" ] || fail "temporary files left behind"
[ "$(head -n 2 <<<"$calls")" = $'udevadm control --reload\nmodprobe uinput' ] ||
    fail "modules not loaded right after udev reloaded its rules: $calls"
# kernel.udev_rule sees the devices udev is asked to apply the rule to; here that no other is.
called "modprobe uhid"
called "udevadm settle --timeout=30"
never C52B "another vendor's HID device was triggered"
never input8 "a device that is no gamepad was triggered"

# Installed by the package, the copies under /usr/lib are in effect and /etc stays untouched;
# an outdated copy in /etc that shadows them is replaced.
mkdir -p "$scratch/packaged/usr/lib/udev/rules.d" "$scratch/packaged/usr/lib/modules-load.d"
cp "$rules" "$scratch/packaged/usr/lib/udev/rules.d/"
cp "$modules" "$scratch/packaged/usr/lib/modules-load.d/"
run packaged 0
[ ! -e "$scratch/packaged/etc" ] || fail "packaged: wrote into /etc"
mkdir -p "$scratch/packaged/etc/udev/rules.d"
echo 'KERNEL=="uinput", MODE="0600"' >"$scratch/packaged/$rule"
run packaged 0
installed $rule "$rules"

# Failures are reported, and the other steps still run.
run no-uhid 1 JOLTO_FAKE_FAIL="modprobe uhid"
called "modprobe uinput"
called "udevadm settle --timeout=30"
said "couldn't load the uhid module"
run no-udev 1 JOLTO_FAKE_FAIL="udevadm control"
called "modprobe uinput"
never trigger "still asked udev to trigger"
said "udev is not running"

# Wrong usage, and not root: refused before anything happens.
arg=--force run argument 2
if setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
    run user 3 setpriv --reuid=65534 --regid=65534 --clear-groups
    [ -z "$calls" ] || fail "not root: still called $calls"
    [ ! -e "$scratch/user/etc" ] || fail "not root: wrote files"
fi
finish "jolto-host-access installs, loads, triggers and reports failures as expected"
