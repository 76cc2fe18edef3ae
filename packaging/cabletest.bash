# shellcheck shell=bash
# bash completion for cabletest: the first argument is an option, a port
# that `cabletest --list` names, or sim; after a port comes debug.

# The port names of `cabletest --list`: the first word of each line that
# starts in column 0, except the line that says there are none. The program
# is the one being completed ($1), so that ./build/cabletest offers its own
# list. It runs without a controlling terminal and for two seconds at most:
# a program that took --list for a port name would otherwise wait at its
# port prompt for a key, and that output is dropped by the exit status.
_cabletest_ports() {
    local program="$1" output line
    [[ $program == "~"/* ]] && program="$HOME/${program#"~/"}"
    output="$(setsid -w timeout 2 "$program" --list </dev/null 2>/dev/null)" || return 0
    while IFS= read -r line; do
        [[ -z $line || $line == [[:space:]]* || $line == "no serial ports found" ]] && continue
        printf '%s\n' "${line%%[[:space:]]*}"
    done <<<"$output"
}

_cabletest() {
    local cur="${COMP_WORDS[COMP_CWORD]}"
    COMPREPLY=()
    case "$COMP_CWORD" in
        1)
            local IFS=$'\n'
            local words
            words="$(printf '%s\n' -h --help --version -l --list sim)"$'\n'"$(_cabletest_ports "$1")"
            mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
            ;;
        2)
            [[ ${COMP_WORDS[1]} == -* ]] || mapfile -t COMPREPLY < <(compgen -W debug -- "$cur")
            ;;
    esac
}

complete -F _cabletest cabletest
