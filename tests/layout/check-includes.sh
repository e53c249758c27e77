#!/usr/bin/env bash
# Keeps the core's folders layered: a folder includes only from itself and the folders below it,
# and no core folder includes a Linux, Qt or adapter header. Exit 1 lists every offending line.
#
#   app/, qml/        the application and its views        (may include anything)
#   platform/linux/   the adapters                         (any core folder)
#   server/ audio/ output/ store/ platform/ protocol/      highest first
set -uo pipefail
src=${1:-$(cd "$(dirname "$0")/../../ZEVControllerHost" && pwd)}
layers=(protocol platform store output audio server)

rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}

# Headers that only an adapter or the application may use.
foreign='^(linux/|libevdev|avahi-|pulse/|systemd/|sys/|Q[A-Za-z]|qt|asm/|dbus)'
status=0
for folder in "${layers[@]}"; do
    own=$(rank "$folder")
    while IFS= read -r hit; do
        file=${hit%%:*}
        rest=${hit#*:}
        line=${rest%%:*}
        text=${rest#*:}
        target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\([^">]*\)[">].*/\1/p' <<<"$text")
        [ -n "$target" ] || continue
        where="${file#"$src"/}:$line: $folder/ includes $target"
        case "$text" in
        *'<'*)
            if [[ $target =~ $foreign ]]; then
                echo "$where (a system header only adapters may use)"
                status=1
            fi
            ;;
        *)
            top=${target%%/*}
            if [ "$top" = "$target" ]; then
                echo "$where (name the folder: \"<folder>/$target\")"
                status=1
            elif [[ $target == platform/linux/* || $top == app || $top == qml ]]; then
                echo "$where (the core never includes an adapter or the application)"
                status=1
            else
                theirs=$(rank "$top")
                if [ "$theirs" -lt 0 ]; then
                    echo "$where (not a core folder)"
                    status=1
                elif [ "$theirs" -gt "$own" ]; then
                    echo "$where ($top/ is above $folder/)"
                    status=1
                fi
            fi
            ;;
        esac
    done < <(grep -n -H '^[[:space:]]*#[[:space:]]*include' "$src/$folder"/*.h "$src/$folder"/*.cpp 2>/dev/null |
        grep -v "^$src/platform/linux/")
done
# The adapters may use every core folder, but never the application above them.
while IFS= read -r hit; do
    echo "${hit#"$src"/} (an adapter never includes the application)"
    status=1
done < <(grep -n -H -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"(app|qml)/' \
    "$src"/platform/linux/*.h "$src"/platform/linux/*.cpp 2>/dev/null)
[ "$status" -eq 0 ] && echo "include layers: every core folder includes only from itself and below"
exit "$status"
