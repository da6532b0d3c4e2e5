#!/bin/bash
# Fails, naming the file and the include, when a source file includes a header
# of a layer above its own (or of a peer folder). The order lives in
# layers.txt beside this script.
#   check-layers.sh SOURCE_ROOT [LAYERS_FILE]
set -euo pipefail
root="$1"
layers="${2:-$(dirname "$0")/layers.txt}"

declare -A rank
level=0
while read -r line; do
    line="${line%%#*}"
    [ -n "${line// }" ] || continue
    for folder in $line; do rank[$folder]=$level; done
    level=$((level + 1))
done <"$layers"

faults=0 files=0
cd "$root"
while IFS= read -r -d '' file; do
    own="${file%%/*}"
    files=$((files + 1))
    if [ -z "${rank[$own]+set}" ]; then
        echo "$file: its folder '$own' is not in $layers"
        faults=$((faults + 1))
        continue
    fi
    while IFS= read -r include; do
        target="${include%%/*}"
        [ -n "${rank[$target]+set}" ] || continue
        if [ "${rank[$target]}" -gt "${rank[$own]}" ] ||
           { [ "${rank[$target]}" -eq "${rank[$own]}" ] && [ "$target" != "$own" ]; }; then
            echo "$file: #include \"$include\" points to '$target', which is not below '$own'"
            faults=$((faults + 1))
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\/[^"]*\)".*/\1/p' "$file")
done < <(find . -path ./build -prune -o -path ./.git -prune -o -type f \
              \( -name '*.h' -o -name '*.cpp' -o -name '*.c' -o -name '*.rc' -o -name '*.idl' \) \
              -printf '%P\0')

if [ "$files" -eq 0 ]; then echo "no source files under $root"; exit 1; fi
echo "$files files, $faults includes against the layers"
[ "$faults" -eq 0 ]
