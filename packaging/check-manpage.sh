#!/usr/bin/env bash
# Lints the manual page with both of Debian's formatters, which must print
# nothing, and checks that its ENVIRONMENT section names every CABLETEST_
# variable that the program reads.
#   check-manpage.sh MANPAGE SOURCE-DIR
# Exits 77 (skipped) when neither groff nor mandoc is installed.
set -uo pipefail
page="${1:?usage: check-manpage.sh MANPAGE SOURCE-DIR}"
source_dir="${2:?usage: check-manpage.sh MANPAGE SOURCE-DIR}"
failed=0
linted=0

lint() {  # lint NAME COMMAND...: the command must succeed and print nothing
    local name="$1" output
    shift
    if output="$("$@" 2>&1)" && [ -z "$output" ]; then
        echo "ok   $name"
    else
        printf 'FAIL %s:\n%s\n' "$name" "$output"
        failed=1
    fi
    linted=1
}

if command -v groff >/dev/null; then
    lint "groff -man -ww -z" groff -man -ww -z "$page"
else
    echo "skip groff -man -ww -z: groff is not installed (Debian groff-base)"
fi
if command -v mandoc >/dev/null; then
    lint "mandoc -T lint" mandoc -T lint "$page"
else
    echo "skip mandoc -T lint: mandoc is not installed (Debian mandoc)"
fi

# The variables come from the getenv calls of the sources, so that a new
# one cannot be left out of the page.
environment="$(sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' "$page")"
variables="$(grep -rhoE 'getenv\("CABLETEST_[A-Z_]+"\)' "$source_dir"/app "$source_dir"/serial \
    "$source_dir"/platform "$source_dir"/common | grep -oE 'CABLETEST_[A-Z_]+' | sort -u)"
for variable in $variables; do
    if grep -qx "\.B $variable" <<<"$environment"; then
        echo "ok   ENVIRONMENT names $variable"
    else
        echo "FAIL ENVIRONMENT does not name $variable"
        failed=1
    fi
done
[ -n "$variables" ] || { echo "FAIL no CABLETEST_ variable found in the sources"; failed=1; }

if [ "$failed" -eq 0 ] && [ "$linted" -eq 0 ]; then
    exit 77
fi
exit "$failed"
