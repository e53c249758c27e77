#!/usr/bin/env bash
# Keeps the core's folders layered: a folder includes only from itself and the folders ranked
# below it, and no core folder includes a Linux, Qt or adapter header; the adapters in
# platform/linux/ may include any core folder but never app/ or qml/, which may include anything.
# Exit 1 lists every offending line.
set -uo pipefail
src=${1:-$(cd "$(dirname "$0")/../../ZEVControllerHost" && pwd)}
declare -A rank=([protocol]=0 [platform]=1 [store]=2 [output]=3 [audio]=4 [server]=5)
# Headers that only an adapter or the application may use.
foreign='^(linux/|libevdev|avahi-|pulse/|systemd/|sys/|Q[A-Za-z]|qt|asm/|dbus)'
status=0
bad() {
    echo "${file#"$src"/}:$line: $folder/ includes $target ($1)"
    status=1
}
while IFS=: read -r file line text; do
    folder=${file#"$src"/}
    folder=${folder%/*}
    target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\([^">]*\)[">].*/\1/p' <<<"$text")
    top=${target%%/*}
    if [ "$folder" = platform/linux ]; then
        [[ $text != *'"'* || ($top != app && $top != qml) ]] || bad "an adapter never includes the application"
    elif [[ $text == *'<'* ]]; then
        [[ ! $target =~ $foreign ]] || bad "a system header only adapters may use"
    elif [ "$top" = "$target" ]; then
        bad "name the folder: \"<folder>/$target\""
    elif [[ $target == platform/linux/* || $top == app || $top == qml ]]; then
        bad "the core never includes an adapter or the application"
    elif [ -z "${rank[$top]:-}" ]; then
        bad "not a core folder"
    elif [ "${rank[$top]}" -gt "${rank[$folder]}" ]; then
        bad "$top/ is above $folder/"
    fi
done < <(for folder in "${!rank[@]}" platform/linux; do
    grep -n -H '^[[:space:]]*#[[:space:]]*include' "$src/$folder"/*.h "$src/$folder"/*.cpp 2>/dev/null
done)
[ "$status" -eq 0 ] && echo "include layers: every core folder includes only from itself and below"
exit "$status"
