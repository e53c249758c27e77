#!/usr/bin/env bash
# Prepares Debian's own kernel for the guest tests: fetches the current linux-image package
# with apt-get download (nothing is installed), keeps the kernel image and the few modules the
# tests need, and packs them with a static busybox into an initramfs, all cached per kernel
# version. Prints "kernel=<path>" and "initrd=<path>". Exit status: 0 ready, 77 this machine
# cannot provide the kernel (the reason on stderr), any other: something else went wrong.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache_root=${JOLTO_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/jolto-host/kernel}

unavailable() { echo "prepare-kernel: $*" >&2; exit 77; }

# In load order: the package ships no modules.dep, so each module's dependencies come first.
modules=(
    drivers/hid/hid drivers/hid/hid-generic drivers/hid/uhid
    drivers/input/misc/uinput drivers/input/evdev drivers/input/joydev
    drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_modern_dev
    drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci
    net/9p/9pnet net/9p/9pnet_virtio fs/netfs/netfs fs/fscache/fscache fs/9p/9p
)

for tool in busybox apt-get dpkg-deb xz gzip; do
    command -v "$tool" >/dev/null || unavailable "$tool is not installed (scripts/setup.sh installs it)"
done
busybox_bin=$(command -v busybox)
# The initramfs has no libraries, so only a static busybox works there.
if command -v readelf >/dev/null && readelf -l "$busybox_bin" | grep -q 'program interpreter'; then
    unavailable "$busybox_bin is dynamically linked; install busybox-static"
fi

newest_cached() {
    [ -d "$cache_root" ] || return 0
    find "$cache_root" -mindepth 2 -maxdepth 2 -name ready -printf '%h\n' |
        xargs -r -n1 basename | sort -V | tail -n 1
}

# Offline (no package lists) or when fetching fails (see below), the newest cached kernel serves.
version=${1:-$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: linux-image-\([0-9][^ ]*-amd64\)$/\1/p' | head -n 1)}
version=${version:-$(newest_cached)}
[ -n "$version" ] || unavailable "cannot resolve linux-image-amd64 (no apt package lists?) and no kernel is cached"
dir=$cache_root/$version
mkdir -p "$dir"

# Both builds' test runs may prepare at the same time.
exec 9>"$dir/.lock"
flock 9

if [ ! -e "$dir/ready" ]; then
    rm -rf "$dir/tree" "$dir/download"
    mkdir -p "$dir/download" "$dir/tree"
    package=linux-image-$version-unsigned
    echo "prepare-kernel: fetching $package" >&2
    if ! (cd "$dir/download" && apt-get download -q "$package" >&2); then
        rm -rf "$dir/download"
        cached=$(newest_cached)
        if [ -z "${1:-}" ] && [ -n "$cached" ]; then
            echo "prepare-kernel: download failed, using the cached $cached instead" >&2
            exec "$0" "$cached"
        fi
        unavailable "apt-get download $package failed (offline?)"
    fi
    deb=$(find "$dir/download" -name '*.deb' | head -n 1)
    patterns=("./boot/vmlinuz-$version")
    for m in "${modules[@]}"; do patterns+=("./lib/modules/$version/kernel/$m.ko*"); done
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir/tree" --wildcards "${patterns[@]}"
    rm -rf "$dir/download"

    mkdir -p "$dir/modules"
    # tar has failed unless it found every module, compressed (.ko.xz) or not.
    for m in "${modules[@]}"; do
        xz -dcf "$dir/tree/lib/modules/$version/kernel/$m".ko* >"$dir/modules/${m##*/}.ko"
    done
    cp "$dir/tree/boot/vmlinuz-$version" "$dir/vmlinuz"
    # qemu boots an uncompressed ELF kernel through its PVH entry, which skips the real-mode
    # setup and the decompressor: a few seconds less per boot under software emulation.
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$dir/vmlinuz" | head -n 1 | cut -d: -f1 || true)
    if [ -n "$offset" ]; then
        tail -c +$((offset + 1)) "$dir/vmlinuz" | xz -dc >"$dir/vmlinux.part" 2>/dev/null || true
        if [ "$(head -c 4 "$dir/vmlinux.part" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
            mv "$dir/vmlinux.part" "$dir/vmlinux"
        else
            rm -f "$dir/vmlinux.part"
        fi
    fi
    rm -rf "$dir/tree"
    printf '%s\n' "${modules[@]##*/}" >"$dir/modules.order"
    touch "$dir/ready"
fi

# The initramfs is rebuilt whenever this script, the guest's init or busybox changes.
stamp=$(cat "$0" "$here/guest-init.sh" "$busybox_bin" | sha256sum | cut -c1-16)
initrd=$dir/initramfs-$stamp.cpio.gz
if [ ! -e "$initrd" ]; then
    root=$(mktemp -d "$dir/root.XXXXXX")
    trap 'rm -rf "$root"' EXIT
    mkdir -p "$root"/{bin,sbin,proc,sys,dev,mnt,lib/modules}
    cp "$busybox_bin" "$root/bin/busybox"
    for applet in $("$busybox_bin" --list); do
        [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
    done
    cp "$dir"/modules/*.ko "$dir/modules.order" "$root/lib/modules/"
    cp "$here/guest-init.sh" "$root/init"
    chmod 755 "$root/init"
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$initrd.part"
    mv "$initrd.part" "$initrd"
fi
# Other checkouts may be using older images right now, so only long-unused ones go.
find "$dir" -maxdepth 1 -name 'initramfs-*.cpio.gz' ! -name "${initrd##*/}" -mtime +7 -delete
touch "$initrd"
if [ -e "$dir/vmlinux" ]; then echo "kernel=$dir/vmlinux"; else echo "kernel=$dir/vmlinuz"; fi
echo "initrd=$initrd"
