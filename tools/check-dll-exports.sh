#!/bin/sh
# Checks that a built asynframe.dll exports exactly the names of the module-
# definition file, plainly (no @N stdcall suffixes, no C++ names), and that it
# needs no DLL beyond the system's own.
#
# Usage: check-dll-exports.sh DLL OBJDUMP
set -eu
dll=$1
objdump=$2
def="$(dirname "$0")/../src/platform/win32/asynframe.def"

expected=$(sed -n '/^EXPORTS/,$p' "$def" | sed '1d; s/;.*//; s/[[:space:]]//g; /^$/d' | sort)
# The export table lists "[ordinal] name" lines after "[Ordinal/Name Pointer] Table".
actual=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(.*\)$/\1/p' | sort)
if [ "$expected" != "$actual" ]; then
    echo "$dll exports differ from $def:" >&2
    printf 'expected:\n%s\nactual:\n%s\n' "$expected" "$actual" >&2
    exit 1
fi

# Only system DLLs: the C++ runtime and the thread library are linked in.
imports=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for name in $imports; do
    case "$name" in
        kernel32.dll|user32.dll|advapi32.dll|ws2_32.dll|mswsock.dll|secur32.dll|crypt32.dll|bcrypt.dll|\
        iphlpapi.dll|shell32.dll|ole32.dll|msvcrt.dll|api-ms-win-*) ;;
        *) echo "$dll needs $name, which Windows does not have" >&2; exit 1 ;;
    esac
done
echo "$dll: $(echo "$actual" | wc -l) exports with plain names; imports: $(echo $imports)"
