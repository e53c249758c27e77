#!/usr/bin/env bash
# Checks the Debian package cpack built: the files a user needs are in it where Debian's
# programs look for them, the files that name each other's paths agree with the /usr layout,
# and the dependencies cover what is loaded at run time.
#
#   check-deb.sh DEB_FOLDER [--expect-binary]      exit 0 pass, 1 fail
set -uo pipefail

folder=$1
expect_binary=${2:-}
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

shopt -s nullglob
debs=("$folder"/jolto-host_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
    echo "FAIL: expected one jolto-host_*.deb in $folder, found ${#debs[@]}" >&2
    exit 1
fi
deb=${debs[0]}
listing=$(dpkg-deb -c "$deb") || exit 1

# expect_file PATH MODE: the package holds PATH (a regular file) with permissions MODE.
expect_file() {
    local line
    line=$(printf '%s\n' "$listing" | awk -v p="./$1" '$6 == p')
    if [ -z "$line" ]; then
        fail "the package lacks /$1"
    elif [ "${line%% *}" != "$2" ]; then
        fail "/$1 has mode ${line%% *}, expected $2"
    fi
}
expect_file usr/lib/udev/rules.d/70-jolto-host.rules -rw-r--r--
expect_file usr/lib/modules-load.d/jolto-host.conf -rw-r--r--
expect_file usr/libexec/jolto-host/jolto-host-access -rwxr-xr-x
expect_file usr/share/polkit-1/actions/org.jolto.Host.policy -rw-r--r--
expect_file usr/share/applications/org.jolto.Host.desktop -rw-r--r--
expect_file usr/share/icons/hicolor/scalable/apps/org.jolto.Host.svg -rw-r--r--
expect_file usr/share/metainfo/org.jolto.Host.metainfo.xml -rw-r--r--
expect_file usr/share/jolto-host/autostart/org.jolto.Host.desktop -rw-r--r--
if [ "$expect_binary" = --expect-binary ]; then
    expect_file usr/bin/jolto-host -rwxr-xr-x
fi
# Nothing may land in /usr/local, /etc or a build folder.
stray=$(printf '%s\n' "$listing" | awk '{print $6}' | grep -v -E '^\./usr/(bin|lib|libexec|share)(/|$)|^\./(usr/)?$')
[ -z "$stray" ] || fail "files outside the standard /usr folders: $stray"

root=$(mktemp -d "${TMPDIR:-/tmp}/jolto-deb.XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || exit 1

# pkexec chooses the polkit action by the exact path of the program it runs.
helper=/usr/libexec/jolto-host/jolto-host-access
policy=$root/usr/share/polkit-1/actions/org.jolto.Host.policy
grep -F -q "<annotate key=\"org.freedesktop.policykit.exec.path\">$helper</annotate>" "$policy" ||
    fail "the polkit action does not name $helper: $(grep exec.path "$policy")"
if [ -r /usr/share/polkit-1/policyconfig-1.dtd ]; then
    xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" ||
        fail "the polkit policy does not follow polkit's DTD"
fi
grep -q '@' "$root$helper" "$policy" && fail "unconfigured @VARIABLES@ left: $(grep -H '@' "$root$helper" "$policy")"
# The helper installs the very files the package ships.
grep -F -q "rules_source='/usr/lib/udev/rules.d/70-jolto-host.rules'" "$root$helper" ||
    fail "the helper does not take the packaged rule"
grep -F -q "modules_source='/usr/lib/modules-load.d/jolto-host.conf'" "$root$helper" ||
    fail "the helper does not take the packaged module list"
sh -n "$root$helper" || fail "the packaged helper is not valid sh"

control() { dpkg-deb -f "$deb" "$1"; }
[ "$(control Package)" = jolto-host ] || fail "package name $(control Package)"
[ -n "$(control Maintainer)" ] || fail "no Maintainer"
depends=$(control Depends)
for runtime in qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts \
    qml6-module-qtquick-window libqt6svg6; do
    [[ ", $depends," == *", $runtime,"* ]] || fail "Depends lacks $runtime: $depends"
done
recommends=$(control Recommends)
for helperdep in pkexec kmod avahi-daemon; do
    [[ $recommends == *$helperdep* ]] || fail "Recommends lacks $helperdep: $recommends"
done
if [ "$expect_binary" = --expect-binary ]; then
    # dpkg-shlibdeps must have named the package of every library the program links.
    needed=$(objdump -p "$root/usr/bin/jolto-host" | awk '$1 == "NEEDED" {print $2}')
    [ -n "$needed" ] || fail "the program links no shared library at all?"
    for soname in $needed; do
        owners=$(dpkg -S "*/$soname" 2>/dev/null | cut -d: -f1 | sort -u)
        [ -n "$owners" ] || { fail "no installed package holds $soname"; continue; }
        found=no
        for owner in $owners; do
            [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] && found=yes
        done
        [ $found = yes ] || fail "Depends names none of $owners, which hold $soname: $depends"
    done
fi

[ $failures -eq 0 ] || exit 1
echo "ok: $(basename "$deb") holds $(printf '%s\n' "$listing" | grep -c -v '/$') files; Depends: $depends"
