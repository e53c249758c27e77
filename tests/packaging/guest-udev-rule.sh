#!/bin/bash
#   guest-udev-rule.sh SOURCE_DIR HELPER         exit 0 pass, 1 fail, 77 skipped
#
# In the real-kernel guest, with udev's own daemon, jolto-host-access must get udev to tag
# /dev/uinput, /dev/uhid and the program's gamepads' hidraw, evdev and joystick nodes uaccess
# (no logind makes ACLs of it here). Only /run is writable, and udev reads rules there too.
. "$(dirname "$0")/checks.sh"
src=$1
helper=$2
# The guest runs the job in a chroot, where udevadm would otherwise ignore every request.
export SYSTEMD_IGNORE_CHROOT=1
udevd=$(ls /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd 2>/dev/null | head -n 1)
[ -n "$udevd" ] || skip "systemd-udevd is not installed (scripts/setup.sh installs udev)"
[ -x /usr/bin/python3 ] || skip "no /usr/bin/python3 to create the gamepads with"

mkdir -p /run/udev/rules.d /run/modules-load.d /run/jolto-bin
cp "$src/packaging/udev/70-jolto-host.rules" /run/udev/rules.d/
cp "$src/packaging/modules-load/jolto-host.conf" /run/modules-load.d/
# The guest's init loaded the modules, which this machine's /lib/modules lacks for its kernel.
printf '#!/bin/sh\n[ -d "/sys/module/$1" ]\n' >/run/jolto-bin/modprobe
chmod +x /run/jolto-bin/modprobe
export PATH=/run/jolto-bin:$PATH

# Gamepads that exist before access is granted, as when "Allow Access…" is used mid-game.
/usr/bin/python3 - <<'PY' &
import fcntl, os, struct, time
rd = bytes([0x05, 0x01, 0x09, 0x05, 0xa1, 0x01, 0x05, 0x09, 0x19, 0x01, 0x29, 0x04, 0x15, 0x00,
            0x25, 0x01, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02, 0x95, 0x04, 0x81, 0x03, 0xc0])
hid = os.open("/dev/uhid", os.O_RDWR)
UHID_CREATE2, BUS_VIRTUAL = 11, 0x06
os.write(hid, struct.pack("<I128s64s64sHHIIII4096s", UHID_CREATE2, b"JOLTO Controller 1", b"",
                          b"", len(rd), BUS_VIRTUAL, 0x1209, 0x0001, 1, 0, rd))
UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_SETUP, UI_DEV_CREATE = 0x40045564, 0x40045565, 0x405C5503, 0x5501
ui = os.open("/dev/uinput", os.O_RDWR)
fcntl.ioctl(ui, UI_SET_EVBIT, 0x01)
fcntl.ioctl(ui, UI_SET_KEYBIT, 0x130)
fcntl.ioctl(ui, UI_DEV_SETUP, struct.pack("<HHHH80sI", BUS_VIRTUAL, 0x1209, 0x0001, 1,
                                          b"JOLTO Controller 2", 0))
fcntl.ioctl(ui, UI_DEV_CREATE)
time.sleep(120)
PY
pad=/sys/bus/hid/devices/0006:1209:0001.0001
for _ in $(seq 100); do
    uinput_pad=$(grep -l -x "JOLTO Controller 2" /sys/devices/virtual/input/input*/name 2>/dev/null)
    [ -e $pad/hidraw ] && [ -n "$uinput_pad" ] && break
    sleep 0.1
done
[ -e $pad/hidraw ] && [ -n "$uinput_pad" ] || { fail "the gamepads did not appear"; exit 1; }

"$udevd" --daemon || { fail "systemd-udevd did not start"; exit 1; }
"$helper" || { fail "jolto-host-access ended with $?"; exit 1; }
nodes=(/dev/uinput /dev/uhid "/dev/$(ls $pad/hidraw)")
for node in $pad/input/input*/{event,js}* "$(dirname "$uinput_pad")"/{event,js}*; do
    nodes+=("/dev/input/${node##*/}")
done
for node in "${nodes[@]}"; do
    if udevadm info "$node" | grep -q '^E: CURRENT_TAGS=.*:uaccess:'; then
        echo "ok: $node ($(udevadm info -q path "$node")) is tagged uaccess"
    else
        fail "$node is not tagged uaccess: $(udevadm info "$node" | grep TAGS)"
    fi
done
finish "udev tagged every node of the program's devices"
