#!/bin/sh
# /init of the test guest: runs the job in the host's folder jolto.job=PATH, chrooted into the
# host's read-only root with private /dev, /proc, /sys, /tmp and /run, and exits with its status.
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# isa-debug-exit turns the byte written to port 0xf4 into qemu's exit status (byte << 1) | 1,
# so only seven bits survive; the exact status travels in the console line before it.
finish() {
    echo "JOLTO_GUEST_EXIT=$1"
    code=$1
    [ "$code" -le 127 ] || code=127
    printf "\\$(printf %o "$code")" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
    echo "guest: isa-debug-exit did not stop qemu" >&2
    poweroff -f
}
setup_failed() { echo "guest: $*" >&2; dmesg | tail -n 20 >&2; finish 126; }

for m in $(cat /lib/modules/modules.order); do
    insmod "/lib/modules/$m.ko" || setup_failed "insmod $m failed"
done
ip link set lo up

root=/mnt/root
# The virtio device is probed asynchronously, so its mount tag may not be there yet.
mkdir -p "$root"
tries=0
until error=$(mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot "$root" 2>&1); do
    tries=$((tries + 1))
    [ $tries -lt 40 ] || setup_failed "mounting the host root over 9p failed: $error"
    sleep 0.05
done
# Folders of the host under /tmp or /run (a checkout there, its build folder) would be hidden by
# the guest's own /tmp and /run: a second view of the host's root puts them back on top.
mkdir -p /host
mount -o bind "$root" /host
job=/host$(sed -n 's/.*[[:space:]]jolto\.job=\([^[:space:]]*\).*/\1/p' /proc/cmdline)
[ -f "$job/job.sh" ] || setup_failed "no job at '$job'"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount -t devtmpfs devtmpfs "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mount -t tmpfs -o mode=755 tmpfs "$root/run"
while IFS= read -r path; do
    mkdir -p "$root$path"
    mount -o bind "/host$path" "$root$path" || setup_failed "binding $path failed"
done <"$job/binds"
mkdir -p "$root/dev/pts" "$root/dev/shm"
mount -t devpts devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
cp "$job/job.sh" "$root/run/jolto-job.sh"

chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/tmp TMPDIR=/tmp TERM=dumb LANG=C.UTF-8 JOLTO_GUEST=1 /bin/bash /run/jolto-job.sh
finish $?
