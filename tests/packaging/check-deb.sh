#!/usr/bin/env bash
#   check-deb.sh DEB_FOLDER [--expect-binary]      exit 0 pass, 1 fail
#
# The Debian package cpack built: its files where Debian's programs look for them, the paths
# they name in each other, and dependencies that cover what is loaded at run time.
. "$(dirname "$0")/checks.sh"
expect_binary=${2:-}
debs=("$1"/jolto-host_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -e "${debs[0]}" ] || { fail "expected one jolto-host_*.deb in $1"; exit 1; }
deb=${debs[0]}
listing=$(dpkg-deb -c "$deb") || exit 1

# Each file with its permissions; nothing in /usr/local, /etc or a build folder.
files="-rw-r--r-- usr/lib/udev/rules.d/70-jolto-host.rules
-rw-r--r-- usr/lib/modules-load.d/jolto-host.conf
-rwxr-xr-x usr/libexec/jolto-host/jolto-host-access
-rw-r--r-- usr/share/polkit-1/actions/org.jolto.Host.policy
-rw-r--r-- usr/share/applications/org.jolto.Host.desktop
-rw-r--r-- usr/share/icons/hicolor/scalable/apps/org.jolto.Host.svg
-rw-r--r-- usr/share/metainfo/org.jolto.Host.metainfo.xml
-rw-r--r-- usr/share/jolto-host/autostart/org.jolto.Host.desktop"
[ "$expect_binary" = --expect-binary ] && files+=$'\n-rwxr-xr-x usr/bin/jolto-host'
while read -r mode path; do
    found=$(awk -v p="./$path" '$6 == p {print $1}' <<<"$listing")
    [ "$found" = "$mode" ] || fail "/$path: mode '$found' in the package, expected $mode"
done <<<"$files"
stray=$(awk '{print $6}' <<<"$listing" | grep -v -E '^\./usr/(bin|lib|libexec|share)(/|$)|^\./(usr/)?$')
[ -z "$stray" ] || fail "files outside the standard /usr folders: $stray"

root=$(mktemp -d "${TMPDIR:-/tmp}/jolto-deb.XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || exit 1
# pkexec chooses the polkit action by the exact path of the program it runs, and the helper
# installs the very files the package ships.
helper=/usr/libexec/jolto-host/jolto-host-access
policy=$root/usr/share/polkit-1/actions/org.jolto.Host.policy
grep -F -q "<annotate key=\"org.freedesktop.policykit.exec.path\">$helper</annotate>" "$policy" ||
    fail "the polkit action does not name $helper: $(grep exec.path "$policy")"
if [ -r /usr/share/polkit-1/policyconfig-1.dtd ]; then
    xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" ||
        fail "the polkit policy does not follow polkit's DTD"
fi
! grep -H '@' "$root$helper" "$policy" || fail "unconfigured @VARIABLES@ left"
for source in "rules_source='/usr/lib/udev/rules.d/70-jolto-host.rules'" \
    "modules_source='/usr/lib/modules-load.d/jolto-host.conf'"; do
    grep -F -q "$source" "$root$helper" || fail "the helper does not say $source"
done
sh -n "$root$helper" || fail "the packaged helper is not valid sh"

depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
for runtime in qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts \
    qml6-module-qtquick-window libqt6svg6; do
    [[ ", $depends," == *", $runtime,"* ]] || fail "Depends lacks $runtime: $depends"
done
for helperdep in pkexec kmod avahi-daemon; do
    [[ $recommends == *$helperdep* ]] || fail "Recommends lacks $helperdep: $recommends"
done
# dpkg-shlibdeps must have named the package of every library the program links.
if [ "$expect_binary" = --expect-binary ]; then
    needed=$(objdump -p "$root/usr/bin/jolto-host" | awk '$1 == "NEEDED" {print $2}')
    [ -n "$needed" ] || fail "the program links no shared library at all?"
    for soname in $needed; do
        owners=$(dpkg -S "*/$soname" 2>/dev/null | cut -d: -f1 | sort -u)
        [ -n "$owners" ] || { fail "no installed package holds $soname"; continue; }
        for owner in $owners; do
            [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] && continue 2
        done
        fail "Depends names none of $owners, which hold $soname: $depends"
    done
fi
finish "$(basename "$deb") holds $(grep -c -v '/$' <<<"$listing") files; Depends: $depends"
