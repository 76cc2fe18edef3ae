#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix of its own, made for this
# run in a temporary folder and removed afterwards (see prefix.sh for why no
# run may use a default prefix). CTest uses it as the emulator of the Windows
# build: run.sh PROGRAM.exe [ARGUMENT...]. The program's exit code is
# returned; the run is bounded by CABLETEST_WINE_TIMEOUT seconds (default 120).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/prefix.sh"

if [ $# -lt 1 ]; then
    echo "usage: $0 PROGRAM.exe [ARGUMENT...]" >&2
    exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/cabletest-wine.XXXXXX")"
cleanup() {
    wine_prefix_remove
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wine_prefix_create "$work/prefix" >&2
status=0
timeout -k 5 "${CABLETEST_WINE_TIMEOUT:-120}" wine "$@" || status=$?
wine_prefix_verify || status=1
exit $status
