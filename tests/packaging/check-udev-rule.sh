#!/usr/bin/env bash
#   check-udev-rule.sh RULES_FILE        exit 0 pass, 1 fail, 77 skipped (reason printed)
#
# The shipped udev rule through `udevadm test`, in a private mount namespace where it is the only
# file in /etc/udev/rules.d, then what the program relies on in it.
. "$(dirname "$0")/checks.sh"
rule=$1
name=$(basename "$rule")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/jolto-udev.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

# Every system has /sys/class/mem/null; the device only makes udevadm load the rules.
unshare=-m
[ "$(id -u)" -eq 0 ] || unshare=-rm
unshare $unshare true 2>/dev/null || skip "no private mount namespace is allowed here"
mkdir -p "$scratch/rules.d"
cp "$rule" "$scratch/rules.d/$name"
unshare $unshare sh -c 'mount --bind "$1" /etc/udev/rules.d &&
    SYSTEMD_LOG_LEVEL=debug udevadm test --action=add /sys/class/mem/null 2>&1' \
    sh "$scratch/rules.d" >"$scratch/log"
grep -q "Reading rules file: /etc/udev/rules.d/$name" "$scratch/log" ||
    fail "udevadm test did not read the rule: $(tail -n 3 "$scratch/log")"
clean=$(grep -F "/etc/udev/rules.d/$name:" "$scratch/log")
[ -z "$clean" ] || fail "udev complains about $name: $clean"

# Comments and blank lines aside, each line is one rule.
rules=$(grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$rule")
has_rule() { grep -F -- "$1" <<<"$rules" | grep -F -q -- "$2" || fail "no rule with $1 and $2"; }
for node in uinput uhid; do
    has_rule "KERNEL==\"$node\", SUBSYSTEM==\"misc\"" 'TAG+="uaccess"'
    has_rule "KERNEL==\"$node\"" "OPTIONS+=\"static_node=$node\""
done
# The kernel names HID devices BUS:VENDOR:PRODUCT.INSTANCE in upper-case hex; input devices
# carry bus, vendor and product as lower-case hex in id/.
has_rule 'SUBSYSTEM=="hidraw", KERNELS=="0006:1209:0001.*"' 'TAG+="uaccess"'
has_rule 'SUBSYSTEM=="input", KERNEL=="event*|js*", ATTRS{id/bustype}=="0006", ATTRS{id/vendor}=="1209", ATTRS{id/product}=="0001"' 'TAG+="uaccess"'
# uaccess becomes an ACL in 73-seat-late.rules; a rule file sorting after it would do nothing.
[[ $name < 73-seat-late.rules ]] || fail "$name sorts after 73-seat-late.rules"
# Access goes to the session at the seat, never to everybody.
! grep -q -E 'MODE[[:space:]]*[:+]?=[[:space:]]*"0?[0-7][0-7][2367]"' <<<"$rules" ||
    fail "$name makes a node writable for every user"
finish "$name parses cleanly with udevadm $(udevadm --version) and grants what the program needs"
