#!/usr/bin/env bash
# Smoke runs of the Windows program under Wine: smoke.sh PATH/TO/cabletest.exe
#
# Every run is in one prefix made for this script in a temporary folder, with
# no COM port but the links this script makes to pseudo-terminals (see
# prefix.sh), and every run is bounded by `timeout`.
#
# What Wine does not provide, and so what is not checked here:
# - modem lines on a pty: a pty has none, so DTR, RTS and DSR do nothing
#   and no cable report can be seen;
# - comm-event waits on a pty end at once (with mask 0) instead of when a
#   byte arrives, so the monitoring loop prints "(2)ClearCommError" over and
#   over, at a rate that depends on timing, and no carriage pass is seen;
# - Ctrl-C as a key: Wine's terminal console never hands it to a key read in
#   input mode 0 (with the terminal's signal keys on it ends the process,
#   with them off the byte is dropped), so the exit code 3 is not seen.
# What is deterministic is checked exactly: the texts and exit codes of
# start-up without a console, the opening of missing, too long and present
# ports (com10 and above included), the handle line, line feeds written as
# CR LF, and the key read and echo through Wine's console on a terminal.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/prefix.sh"

program="${1:?usage: smoke.sh PATH/TO/cabletest.exe}"
python="$(command -v python3 || true)"
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
if [ -z "$python" ]; then
    echo "smoke.sh needs python3 for its pseudo-terminals" >&2
    exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/cabletest-smoke.XXXXXX")"
holders=()
cleanup() {
    local pid
    for pid in "${holders[@]}"; do kill "$pid" 2>/dev/null || true; done
    wine_prefix_remove
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
check() {  # check NAME COMMAND...: one named check, counted
    local name="$1"
    shift
    if "$@"; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
    fi
}

ptys="$work/ptys"
mkdir -p "$ptys"
wine_prefix_create "$work/prefix"

# pty_port NAME: a pseudo-terminal held open for the rest of the script, as
# the port NAME of the prefix.
pty_port() {
    local name="$1" i
    "$python" "$here/pty_hold.py" "$ptys/$name" 240 >"$work/$name.pty" &
    holders+=($!)
    for i in $(seq 50); do
        [ -s "$work/$name.pty" ] && break
        sleep 0.1
    done
    ln -s "$ptys/$name" "$WINEPREFIX/dosdevices/$name"
}

# run NAME SECONDS ARGUMENT...: the program without a console (no controlling
# terminal, standard handles redirected to files), its output in
# $work/NAME.out, its exit code in $work/NAME.rc. Refuses to run with an
# unsafe port link. run_piped: the same with standard output a pipe.
run() {
    local name="$1" seconds="$2" rc=0
    shift 2
    wine_prefix_verify "$ptys"
    setsid -w timeout -k 5 "$seconds" wine "$program" "$@" \
        </dev/null >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    echo "$rc" >"$work/$name.rc"
}
run_piped() {
    local name="$1" seconds="$2"
    shift 2
    wine_prefix_verify "$ptys"
    set +e
    setsid -w timeout -k 5 "$seconds" wine "$program" "$@" \
        </dev/null 2>"$work/$name.err" | cat >"$work/$name.out"
    echo "${PIPESTATUS[0]}" >"$work/$name.rc"
    set -e
}

# expect_output NAME TEXT: the output is exactly TEXT (printf escapes).
expect_output() {
    printf "$2" >"$work/$1.expected"
    if ! cmp -s "$work/$1.expected" "$work/$1.out"; then
        echo "  expected:" && od -c "$work/$1.expected" | sed 's/^/    /'
        echo "  got:" && od -c "$work/$1.out" | sed 's/^/    /'
        return 1
    fi
}
expect_rc() { [ "$(cat "$work/$1.rc")" = "$2" ] || { echo "  exit code $(cat "$work/$1.rc"), expected $2"; return 1; }; }
expect_line() { grep -Eq "$2" "$work/$1.out" || { echo "  no line matching $2 in:"; cat -A "$work/$1.out" | head -20; return 1; }; }
expect_no_line() { ! grep -Eq "$2" "$work/$1.out" || { echo "  unexpected line matching $2"; return 1; }; }

banner='Magnetic switch cable test program\r\n\r\nCtrl C to terminate\r\n'
prompt='Please enter serial port number (1-9) '
no_console="${prompt} invalid port\r\n${prompt} invalid port\r\n${prompt} invalid port\r\n"
no_console+='No console to read the port number from; give the port as the first argument\r\n'

# No argument and no console: the banner, three failed key reads, exit code 1.
run noconsole 60
check "no console: banner, three failed key reads (CR LF line ends)" \
    expect_output noconsole "${banner}${no_console}"
check "no console: exit code 1" expect_rc noconsole 1

# A port that does not exist: the system's code 2, then the prompt.
run missing 60 com8
check "com8 missing: Open com8 failed 2, then the prompt" \
    expect_output missing "${banner}Open com8 failed 2\r\n${no_console}"
check "com8 missing: exit code 1" expect_rc missing 1

run_piped missingpiped 60 com8
check "com8 missing, output to a pipe: the same text, CR LF" \
    expect_output missingpiped "${banner}Open com8 failed 2\r\n${no_console}"
check "com8 missing, output to a pipe: exit code 1" expect_rc missingpiped 1

# A name longer than 7 characters is refused whole, with its whole name.
run toolong 60 com12345
check "com12345: refused as too long (206)" \
    expect_output toolong "${banner}Open com12345 failed 206\r\n${no_console}"

# A port on a pty opens, and "debug" in any case prints the handle line. The
# program then monitors for ever: the time limit ends it (exit code 124).
pty_port com5
pty_port com12
run present 6 com5 DeBuG
check "com5 on a pty: opens, no failure message" expect_no_line present 'failed'
check "com5 on a pty: the banner first" \
    expect_line present '^Magnetic switch cable test program'
# The process is killed, not ended: what it printed is in the file all the
# same, since each message is written out as it is printed.
check "com5 on a pty: Handle = XXXXXXXX, kept although the process was killed" \
    expect_line present $'^Handle = [0-9A-F]{8}\r$'
check "com5 on a pty: still monitoring when the time limit ends it" expect_rc present 124

# com10 and above open only through the device namespace.
run twodigit 6 com12 debug
check "com12 on a pty: opens through the device namespace" \
    expect_line twodigit $'^Handle = [0-9A-F]{8}\r$'

run nodebug 6 com5 verbose
check "com5 verbose: no handle line" expect_no_line nodebug '^Handle'

# The key read and the echo through Wine's console on a terminal: 'a', F1
# (two codes: 0, then 59 echoed as ';'), '0', then '5' opens com5, which is
# unlinked first so that the open fails with 2 and shows the name.
rm -f "$WINEPREFIX/dosdevices/com5"
wine_prefix_verify "$ptys"
check "prompt on Wine's terminal console: a, F1, 0 refused, 5 opens com5" \
    timeout 90 "$python" "$here/console_keys.py" "$program" "$work/keys.out"

echo "smoke: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
