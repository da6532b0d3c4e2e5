#!/bin/bash
# check-binaries.sh OBJDUMP BIN_DIR HVCORE_DEF
# Fails when the driver, the value library or the host program depend on
# anything but system DLLs and hvcore.dll, when the driver binds to hvcore.dll
# other than by ordinal (by name for the two quality functions), when an
# export is missing or extra, or when the driver has no version resource.
set -u
objdump="$1" bin="$2" def="$3"
strings_tool="${objdump%objdump}strings"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

system_dlls='^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|msvcrt|ws2_32|winmm|comctl32|comdlg32|shell32|version|tapi32|rasapi32|iphlpapi|hvcore)\.dll$'

imported_dlls() { "$objdump" -p "$1" | awk '/DLL Name:/ { print $3 }'; }

# Lines "ordinal <none>" (by ordinal) or "hint name" (by name) of the imports
# from one DLL. An import by ordinal has the top bit of its thunk set and the
# ordinal in the low 16 bits.
imports_from() {
    "$objdump" -p "$1" | awk -v want="$2" '
        /DLL Name:/ { dll = tolower($3); next }
        dll == want && /^\t[0-9a-f]+\t/ { print $1, $2, $3 }' |
    while read -r thunk hint name; do
        if [ "$name" = "<none>" ]; then echo "$((16#${thunk: -4})) <none>"; else echo "$hint $name"; fi
    done
}

exported_names() {
    "$objdump" -p "$1" | awk '
        /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
        table && /^\t\[/ { print $3; next }
        table && !/^\t\[/ { table = 0 }'
}

for file in Quillon.dll hvcore.dll quillonhost.exe; do
    [ -f "$bin/$file" ] || { fail "$file was not built"; continue; }
    for dll in $(imported_dlls "$bin/$file"); do
        echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls" || fail "$file imports $dll"
    done
done

# The driver binds to hvcore.dll by ordinal, except the quality functions.
declared_ordinals=$(awk '$2 ~ /^@/ && $1 !~ /Quality/ { sub("@", "", $2); print $2 }' "$def" | sort -n)
driver_imports=$(imports_from "$bin/Quillon.dll" hvcore.dll)
[ -n "$driver_imports" ] || fail "Quillon.dll imports nothing from hvcore.dll"
while read -r ordinal name; do
    [ -z "$ordinal" ] && continue
    if [ "$name" = "<none>" ]; then
        echo "$declared_ordinals" | grep -qx "$ordinal" || fail "Quillon.dll imports unknown hvcore ordinal $ordinal"
    elif [ "$name" != hvGetQuality ] && [ "$name" != hvSetQuality ]; then
        fail "Quillon.dll imports hvcore's $name by name"
    fi
done <<< "$driver_imports"
for needed in 13 17; do
    echo "$driver_imports" | grep -q "^$needed <none>$" || fail "Quillon.dll does not import hvcore ordinal $needed"
done
echo "$driver_imports" | grep -Eq " hvGetQuality$" || fail "Quillon.dll does not import hvGetQuality by name"

# The driver's exports: exactly these undecorated names.
expected_exports="ChanferLibGetVersion ChanferLibGetVersionFull ChanferLib_v2_0_25 drvCreateDriverInstance
drvDriverDialog drvGetCaps drvGetDriverName drvGetDriverObject drvGetStatus drvIO drvSetSettingsHandle
drvSetStatus drvStartComm drvStopComm"
actual=$(exported_names "$bin/Quillon.dll" | sort | tr '\n' ' ')
expected=$(echo $expected_exports | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$actual" = "$expected" ] || fail "Quillon.dll exports '$actual', expected '$expected'"

# hvcore.dll exports every function of its table under its ordinal.
hvcore_exports=$("$objdump" -p "$bin/hvcore.dll" | awk '
    /Ordinal Base/ { base = $NF }
    /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^\t\[/ { gsub(/[\[\]]/, "", $0); print $1 + base, $2; next }
    table { table = 0 }')
while read -r name ordinal; do
    [ -z "$name" ] && continue
    echo "$hvcore_exports" | grep -qx "$ordinal $name" || fail "hvcore.dll does not export $name as ordinal $ordinal"
done < <(awk '$2 ~ /^@/ { sub("@", "", $2); print $1, $2 }' "$def")

# A version resource that Windows' file properties show.
"$strings_tool" -el "$bin/Quillon.dll" | grep -qx "FileVersion" || fail "Quillon.dll has no version resource"
"$strings_tool" -el "$bin/Quillon.dll" | grep -qx "1.1.3.0" || fail "Quillon.dll version resource lacks 1.1.3.0"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "binaries: all checks passed"
