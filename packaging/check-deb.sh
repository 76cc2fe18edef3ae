#!/usr/bin/env bash
# Builds the Debian package in a configured and built build folder and checks
# it as an operator meets it: its control fields, that it holds what
# `cmake --install` installs, that lintian finds no error, and then, installed
# into this machine with dpkg -i, that the program, its manual page and its
# bash completion work. A package that was not installed before is removed
# again at the end. Needs root (or sudo), dpkg-dev, lintian, man-db, bash.
#   check-deb.sh BUILD-DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:?usage: check-deb.sh BUILD-DIR}" && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

work="$(mktemp -d "${TMPDIR:-/tmp}/cabletest-deb.XXXXXX")"
installed_here=0
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    if [ "$installed_here" -eq 1 ]; then $SUDO dpkg -r cabletest >/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

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
rm -f "$build"/cabletest_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb="$(ls "$build"/cabletest_*.deb)"
echo "package: $deb"

field() { dpkg-deb --field "$deb" "$1"; }
check "Package is cabletest" test "$(field Package)" == cabletest
check "Version is $version" test "$(field Version)" == "$version"
check "Section is utils" test "$(field Section)" == utils
check "Depends, from dpkg-shlibdeps, names libc6 and libstdc++6" \
    grep -q 'libc6 (>= .*libstdc++6 (>= ' <<<"$(field Depends)"
check "Description" test "$(field Description | head -1)" == \
    "test a magnetic-switch cable on a serial port"

# The package holds what the install gives, with the manual page compressed
# and Debian's changelog added.
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/stage" && find . ! -type d | sed 's|^\.||' | sort) >"$work/installed"
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||' |
    grep -vx /usr/share/doc/cabletest/changelog.gz | sed 's|\(/man/man[1-9]/.*\)\.gz$|\1|' |
    sort >"$work/packaged"
check "dpkg-deb --contents lists what the install gives" \
    diff -u "$work/installed" "$work/packaged"

echo "lintian:"
check "lintian reports no error" lintian --fail-on error "$deb"

was_installed=0
dpkg -s cabletest >/dev/null 2>&1 && was_installed=1
$SUDO dpkg -i "$deb" >/dev/null
[ "$was_installed" -eq 1 ] || installed_here=1

check "installed as /usr/bin/cabletest" test "$(command -v cabletest)" == /usr/bin/cabletest
echo "cabletest --version: $(cabletest --version)"
check "cabletest --version" grep -Eqx "cabletest $version( \(git [^ ]+\))?" \
    <<<"$(cabletest --version)"
check "cabletest --help" grep -q '^Usage: cabletest \[port \[debug\]\]$' \
    <<<"$(cabletest --help)"
check "man -w cabletest" test "$(man -w cabletest)" == /usr/share/man/man1/cabletest.1.gz
check "man cabletest renders without a warning" \
    test -z "$(MANWIDTH=80 man --warnings=w cabletest 2>&1 >/dev/null)"
check "man cabletest shows the page" grep -q '^ *cabletest - test a magnetic-switch cable' \
    <<<"$(MANWIDTH=80 man cabletest 2>/dev/null | col -b)"

# The completion where bash-completion looks for it, loaded on demand, then
# its own checks on the installed program.
if [ -f /usr/share/bash-completion/bash_completion ]; then
    check "bash-completion loads the completion on demand" grep -q ' _cabletest cabletest$' \
        <<<"$(bash -c 'source /usr/share/bash-completion/bash_completion
                       _completion_loader cabletest; complete -p cabletest')"
fi
check "the installed completion" bash "$here/check-completion.sh" \
    /usr/share/bash-completion/completions/cabletest /usr/bin/cabletest

exit "$failed"
