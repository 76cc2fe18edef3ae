#!/usr/bin/env bash
# Checks the bash completion as bash uses it: sources it, sets COMP_WORDS and
# COMP_CWORD, calls the function and compares COMPREPLY.
#   check-completion.sh COMPLETION-FILE CABLETEST-BINARY
# The port list comes from stand-in programs that print what `cabletest
# --list` prints, and from the real program, which must offer at least the
# fixed words and return at once whatever its --list does.
set -uo pipefail
export LC_ALL=C  # the sort order of the expected lists
completion="${1:?usage: check-completion.sh COMPLETION-FILE CABLETEST-BINARY}"
binary="${2:?usage: check-completion.sh COMPLETION-FILE CABLETEST-BINARY}"
# shellcheck source=/dev/null
source "$completion"

work="$(mktemp -d "${TMPDIR:-/tmp}/cabletest-completion.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failed=0

# offers WORDS...: the words of COMPREPLY, sorted, one line.
offers() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _cabletest "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {  # expect NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: expected [$2], got [$3]"
        failed=1
    fi
}

# stand-in NAME STATUS: a program that prints standard input's text for
# --list and exits with STATUS.
stand_in() {
    cat >"$work/text-$1"
    # shellcheck disable=SC2016  # $1 is the stand-in's own argument
    printf '#!/bin/sh\n[ "$1" = --list ] && cat "%s"\nexit %s\n' "$work/text-$1" "$2" >"$work/$1"
    chmod +x "$work/$1"
}

stand_in ports 0 <<'EOF'
ttyUSB0   /dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0
          driver ftdi_sio, USB 0403:6001, free
com1      /dev/ttyS0, driver serial8250, in use
  by another program
ttyACM0   /dev/serial/by-id/usb-Arduino-if00
EOF
stand_in none 0 <<<"no serial ports found"
stand_in failing 1 <<<"Open --list failed 2"

fixed="--help --list --record --report --svg --timestamps --version -h -l -t sim"
expect "the ports of --list, the options and sim" \
    "--help --list --record --report --svg --timestamps --version -h -l -t com1 sim ttyACM0 ttyUSB0" \
    "$(offers "$work/ports" "")"
expect "a prefix narrows the ports" "ttyACM0 ttyUSB0" "$(offers "$work/ports" "tty")"
expect "no ports" "$fixed" "$(offers "$work/none" "")"
expect "a failing --list offers no ports" "$fixed" "$(offers "$work/failing" "")"
expect "options by prefix" "--list" "$(offers "$work/none" "--l")"
expect "debug after a port" "debug" "$(offers "$work/none" sim "")"
expect "debug by prefix" "debug" "$(offers "$work/none" ttyUSB0 "de")"
expect "nothing after an option" "" "$(offers "$work/none" --help "")"
expect "nothing after debug" "" "$(offers "$work/none" sim debug "")"

# Options stand anywhere; the file of --record is no port.
expect "options after a port" "--timestamps" "$(offers "$work/none" sim "--t")"
expect "options after debug" "--record" "$(offers "$work/none" sim debug "--r")"
expect "the port after -t" "sim" "$(offers "$work/none" -t "s")"
expect "debug after --record FILE and a port" "debug" \
    "$(offers "$work/none" --record shift.rec sim "")"
expect "nothing after --help further on" "" "$(offers "$work/none" sim --help "")"
mkdir "$work/files" && touch "$work/files/shift.rec" "$work/files/shift.log"
expect "files after --record" "$work/files/shift.log $work/files/shift.rec" \
    "$(offers "$work/none" --record "$work/files/shift")"
expect "files after --report" "$work/files/shift.log $work/files/shift.rec" \
    "$(offers "$work/none" --report "$work/files/shift")"
expect "only --svg after --report FILE" "--svg" "$(offers "$work/none" --report shift.rec "")"
expect "files after --svg" "$work/files/shift.log" \
    "$(offers "$work/none" --report shift.rec --svg "$work/files/shift.l")"
expect "no --report after a port" "--record" "$(offers "$work/none" sim "--re")"

# A program that never answers is given up on.
printf '#!/bin/sh\nexec sleep 30\n' >"$work/hanging"
chmod +x "$work/hanging"
start=$SECONDS
expect "a --list that hangs offers no ports" "$fixed" "$(offers "$work/hanging" "")"
expect "and is given up on within 3 s" "yes" "$([ $((SECONDS - start)) -le 3 ] && echo yes)"

# The real program: the fixed words are there whatever its --list gives, and
# the completion does not wait (a program that took --list for a port would
# wait at its prompt). Its --list reads an empty machine of its own: the real
# one would look at (and open) this machine's serial ports.
mkdir -p "$work/sys/class/tty" "$work/dev"
export CABLETEST_SYSFS_DIR="$work/sys" CABLETEST_DEVICE_DIR="$work/dev"
start=$SECONDS
real="$(offers "$binary" "")"
for word in $fixed; do
    case " $real " in
        *" $word "*) ;;
        *) echo "FAIL the real program: $word is not offered in [$real]"; failed=1 ;;
    esac
done
expect "the real program answers within 3 s" "yes" "$([ $((SECONDS - start)) -le 3 ] && echo yes)"
expect "the real program, sim by prefix" "sim" "$(offers "$binary" "si")"
exit "$failed"
