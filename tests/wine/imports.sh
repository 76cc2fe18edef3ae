#!/usr/bin/env bash
# The Windows program runs on a bare Windows machine: imports.sh OBJDUMP
# PROGRAM.exe fails when the program imports any DLL but the system's own
# (kernel32, user32 and the C run-time msvcrt that every Windows has), such
# as a C++ run-time or threads DLL that a static link should have kept out.
set -euo pipefail
objdump="${1:?usage: imports.sh OBJDUMP PROGRAM.exe}"
program="${2:?usage: imports.sh OBJDUMP PROGRAM.exe}"
dlls="$("$objdump" -p "$program" | awk '/DLL Name:/ { print tolower($3) }' | sort -u)"
echo "imports:" $dlls
[ -n "$dlls" ] || { echo "no imports found: not a Windows program?"; exit 1; }
status=0
for dll in $dlls; do
    case "$dll" in
        kernel32.dll | user32.dll | msvcrt.dll) ;;
        *) echo "imports $dll, which a bare Windows machine does not have"; status=1 ;;
    esac
done
exit $status
