#!/usr/bin/env bash
# Builds the Windows zip in a configured and built Windows build folder and
# checks what a Windows user unpacks: one folder with cabletest.exe (a 32-bit
# Windows program), README.txt and LICENSE.txt, both in Windows line ends.
#   check-zip.sh BUILD-DIR
set -euo pipefail
export LC_ALL=C  # the sort order of the expected list
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:?usage: check-zip.sh BUILD-DIR}" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/cabletest-zip.XXXXXX")"
trap 'rm -rf "$work"' EXIT

failed=0
check() {  # check NAME COMMAND...: one named check
    local name="$1"
    shift
    if "$@"; then
        echo "ok   $name"
    else
        echo "FAIL $name"
        failed=1
    fi
}

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
top="cabletest-$version-win32"
rm -f "$build"/cabletest-*.zip
(cd "$build" && cpack -G ZIP >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
zip="$build/$top.zip"
unzip -l "$zip"
mkdir "$work/unpacked" && (cd "$work/unpacked" && unzip -q "$zip")

check "the zip holds cabletest.exe, README.txt and LICENSE.txt in one folder" test \
    "$(cd "$work/unpacked" && find . -type f | sort | tr '\n' ' ')" == \
    "./$top/LICENSE.txt ./$top/README.txt ./$top/cabletest.exe "
check "cabletest.exe is a 32-bit Windows program" test \
    "$(od -An -tx1 -j "$(od -An -tu4 -j 60 -N 4 "$work/unpacked/$top/cabletest.exe")" -N 6 \
        "$work/unpacked/$top/cabletest.exe" | tr -d ' ')" == 504500004c01
for pair in README.txt:README.md LICENSE.txt:LICENSE; do
    text="$work/unpacked/$top/${pair%%:*}"
    check "${pair%%:*} has Windows line ends" test "$(grep -c $'[^\r]$\\|^$' "$text")" -eq 0
    check "${pair%%:*} is ${pair#*:}" cmp -s <(tr -d '\r' <"$text") "$source_dir/${pair#*:}"
done
exit "$failed"
