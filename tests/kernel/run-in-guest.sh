#!/usr/bin/env bash
#   tests/kernel/run-in-guest.sh [--timeout SECONDS] [--memory MB] [--bind DIR]... command [args...]
#
# Runs the command as root in the current directory inside Debian's own kernel under qemu. The
# guest sees the host's file system read-only, with its own /dev, /proc, /sys and empty /tmp and
# /run (where the project, the current directory and each --bind folder under them are bound
# back), and only the ASAN_, UBSAN_, LSAN_, GTEST_, SDL_ and JOLTO_ variables; JOLTO_GUEST=1
# tells the test programs that they may create input devices. Exit status: the command's; 77
# when this machine cannot run the guest (1 under CI=true); 126 when the guest was not set up.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
timeout_s=240
memory_mb=1024
binds=()

while [ $# -gt 0 ]; do
    case $1 in
    --timeout) timeout_s=$2; shift 2 ;;
    --memory) memory_mb=$2; shift 2 ;;
    --bind) binds+=("$(cd "$2" && pwd -P)") || exit 2; shift 2 ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: run-in-guest.sh [options] command [args...]" >&2; exit 2; }

failed() { echo "run-in-guest: FAILED, $*" >&2; exit 1; }
cannot_run() {
    [ "${CI:-}" != true ] || failed "CI must run the kernel tests: $*"
    echo "run-in-guest: skipped: $*" >&2
    exit 77
}

command -v qemu-system-x86_64 >/dev/null ||
    cannot_run "qemu-system-x86_64 is not installed (scripts/setup.sh installs qemu-system-x86)"

prepared=$("$here/prepare-kernel.sh")
status=$?
if [ $status -eq 77 ]; then
    cannot_run "the guest kernel is not available (see the reason above)"
elif [ $status -ne 0 ]; then
    failed "preparing the guest kernel failed"
fi
kernel=$(sed -n 's/^kernel=//p' <<<"$prepared")
initrd=$(sed -n 's/^initrd=//p' <<<"$prepared")

job=$(mktemp -d "${TMPDIR:-/tmp}/jolto-guest.XXXXXX") || exit 1
trap 'rm -rf "$job"' EXIT
{
    echo "cd $(printf '%q' "$PWD") || exit 126"
    for name in $(compgen -e); do
        case $name in
        ASAN_* | UBSAN_* | LSAN_* | GTEST_* | SDL_* | JOLTO_*) echo "export $name=$(printf '%q' "${!name}")" ;;
        esac
    done
    echo "exec$(printf ' %q' "$@")"
} >"$job/job.sh"
project=$(cd "$here/../.." && pwd -P)
for path in "$project" "$(pwd -P)" ${binds[@]+"${binds[@]}"}; do
    case $path in
    /tmp/* | /run/*) echo "$path" ;;
    esac
done | sort -u >"$job/binds"

timeout -k 10 "$timeout_s" qemu-system-x86_64 \
    -accel tcg -cpu max -M pc -smp 1 -m "$memory_mb" \
    -nographic -no-reboot -nodefaults -serial stdio \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 rdinit=/init jolto.job=$job loglevel=3" </dev/null 2>&1 |
    sed -u -e 's/\r$//' -e '/SeaBIOS (version/d' -e 's/^Booting from ROM\.\.//' | tee "$job/console.log"
qemu_status=${PIPESTATUS[0]}

[ "$qemu_status" -ne 124 ] && [ "$qemu_status" -ne 137 ] ||
    failed "the guest did not finish within $timeout_s s"
# qemu itself exits with 1 when it cannot start, which would read as a guest status of 0;
# the guest's console line has to agree with the port value.
reported=$(sed -n 's/.*JOLTO_GUEST_EXIT=\([0-9]*\)$/\1/p' "$job/console.log" | tail -n 1)
[ -n "$reported" ] || failed "the guest ended without an exit status (qemu status $qemu_status)"
[ "$qemu_status" -eq $((((reported > 127 ? 127 : reported) << 1) | 1)) ] ||
    failed "qemu status $qemu_status does not match the guest's $reported"
exit "$reported"
