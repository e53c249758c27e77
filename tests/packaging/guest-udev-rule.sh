#!/bin/bash
# Runs inside the real-kernel guest (tests/kernel/run-in-guest.sh): starts udev's own daemon
# with the shipped rule, creates a gamepad with the program's bus, vendor and product, runs
# jolto-host-access the way "Allow Access…" does, and checks that udev tagged /dev/uinput,
# /dev/uhid, the HID gamepad's hidraw, evdev and joystick nodes and the uinput gamepad's evdev
# and joystick nodes for the seat's session.
#
# The guest has no logind, so the tag is as far as it goes: logind turns it into an ACL for the
# active session's user. The guest's root file system is read-only except /run, so the rule and
# the module list go to /run, which udev and systemd read too.
#
#   guest-udev-rule.sh SOURCE_DIR HELPER         exit 0 pass, 1 fail, 77 skipped
set -uo pipefail
src=$1
helper=$2
# The guest runs the job in a chroot, where udevadm would otherwise ignore every request.
export SYSTEMD_IGNORE_CHROOT=1

udevd=$(ls /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd 2>/dev/null | head -n 1)
[ -n "$udevd" ] || { echo "skipped: systemd-udevd is not installed (scripts/setup.sh installs udev)"; exit 77; }

mkdir -p /run/udev/rules.d /run/modules-load.d /run/jolto-bin
cp "$src/packaging/udev/70-jolto-host.rules" /run/udev/rules.d/
cp "$src/packaging/modules-load/jolto-host.conf" /run/modules-load.d/
# The guest's init loaded the modules from its own initramfs, and the host's /lib/modules has
# no tree for the guest's kernel: modprobe stands in by confirming the module is there.
cat >/run/jolto-bin/modprobe <<'SH'
#!/bin/sh
[ -d "/sys/module/$1" ]
SH
chmod +x /run/jolto-bin/modprobe
export PATH=/run/jolto-bin:$PATH

# A gamepad that exists before access is granted, as when "Allow Access…" is used mid-game.
pad=no
if [ -x /usr/bin/python3 ]; then
    /usr/bin/python3 - <<'PY' &
import os, struct, time
# Four buttons: enough for the kernel to make hidraw, evdev and joystick nodes.
rd = bytes([0x05, 0x01, 0x09, 0x05, 0xa1, 0x01, 0x05, 0x09, 0x19, 0x01, 0x29, 0x04, 0x15, 0x00,
            0x25, 0x01, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02, 0x95, 0x04, 0x81, 0x03, 0xc0])
fd = os.open("/dev/uhid", os.O_RDWR)
UHID_CREATE2, BUS_VIRTUAL = 11, 0x06
os.write(fd, struct.pack("<I128s64s64sHHIIII4096s", UHID_CREATE2, b"JOLTO Controller 1", b"",
                         b"", len(rd), BUS_VIRTUAL, 0x1209, 0x0001, 1, 0, rd))
time.sleep(120)
PY
    for _ in $(seq 100); do
        [ -e /sys/bus/hid/devices/0006:1209:0001.0001/hidraw ] && { pad=yes; break; }
        sleep 0.1
    done
    [ $pad = yes ] || { echo "FAIL: the uhid gamepad did not appear"; exit 1; }
    /usr/bin/python3 - <<'PY' &
import fcntl, os, struct, time
# One gamepad button (BTN_SOUTH) is enough for evdev and joystick nodes.
UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_SETUP, UI_DEV_CREATE = 0x40045564, 0x40045565, 0x405C5503, 0x5501
fd = os.open("/dev/uinput", os.O_RDWR)
fcntl.ioctl(fd, UI_SET_EVBIT, 0x01)
fcntl.ioctl(fd, UI_SET_KEYBIT, 0x130)
fcntl.ioctl(fd, UI_DEV_SETUP, struct.pack("<HHHH80sI", 0x06, 0x1209, 0x0001, 1,
                                          b"JOLTO Controller 2", 0))
fcntl.ioctl(fd, UI_DEV_CREATE)
time.sleep(120)
PY
    uinput_pad=
    for _ in $(seq 100); do
        uinput_pad=$(grep -l -x "JOLTO Controller 2" /sys/devices/virtual/input/input*/name 2>/dev/null)
        [ -n "$uinput_pad" ] && break
        sleep 0.1
    done
    [ -n "$uinput_pad" ] || { echo "FAIL: the uinput gamepad did not appear"; exit 1; }
    uinput_pad=$(dirname "$uinput_pad")
else
    echo "note: no /usr/bin/python3 to create a gamepad; checking /dev/uinput and /dev/uhid only"
fi

"$udevd" --daemon || { echo "FAIL: systemd-udevd did not start"; exit 1; }
"$helper"
status=$?
[ $status -eq 0 ] || { echo "FAIL: jolto-host-access ended with $status"; exit 1; }

failures=0
tagged() {
    if udevadm info "$1" | grep -q '^E: CURRENT_TAGS=.*:uaccess:'; then
        echo "ok: $1 ($(udevadm info -q path "$1")) is tagged uaccess"
    else
        echo "FAIL: $1 is not tagged uaccess: $(udevadm info "$1" | grep TAGS)"
        failures=$((failures + 1))
    fi
}
tagged /dev/uinput
tagged /dev/uhid
if [ $pad = yes ]; then
    pad_dir=/sys/bus/hid/devices/0006:1209:0001.0001
    tagged "/dev/$(ls "$pad_dir/hidraw")"
    for node in "$pad_dir"/input/input*/event* "$pad_dir"/input/input*/js* \
        "$uinput_pad"/event* "$uinput_pad"/js*; do
        tagged "/dev/input/$(basename "$node")"
    done
fi
# The keyboard of the guest's PC is nobody's business here: the trigger must not touch it.
for node in /sys/devices/platform/i8042/serio0/input/input*/event*; do
    [ -e "$node" ] || continue
    if udevadm info "/dev/input/$(basename "$node")" | grep -q ':uaccess:'; then
        echo "FAIL: the PC keyboard's $(basename "$node") got the uaccess tag"
        failures=$((failures + 1))
    fi
done
[ $failures -eq 0 ]
