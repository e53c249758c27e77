# Sourced by the packaging checks: `fail` reports a fault and goes on, `skip` ends the check as
# skipped (77), `finish` ends it, failed (1) if anything failed.
set -uo pipefail
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
skip() {
    echo "skipped: $*"
    exit 77
}
finish() {
    [ $failures -eq 0 ] || exit 1
    echo "ok: $*"
}
