# shellcheck shell=bash
# bash completion for cabletest: options anywhere (a file after --record,
# --report and --svg); the first word that is not an option is a port that
# `cabletest --list` names, or sim; the second is debug. --report FILE takes
# no port, only --svg PICTURE.

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

# How many words before the cursor are not options (nor the file of an
# option); "end" when an option that ends the program stands there, "report"
# after --report FILE.
_cabletest_words_before() {
    local i count=0 report=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case "${COMP_WORDS[i]}" in
            --record | --svg) ((i++)) ;;
            --report) ((i++)) && report=report ;;
            -h | --help | --version | -l | --list)
                echo end
                return
                ;;
            -*) ;;
            *) ((count++)) ;;
        esac
    done
    echo "${report:-$count}"
}

_cabletest() {
    local cur="${COMP_WORDS[COMP_CWORD]}" words
    local options=(-h --help --version -l --list -t --timestamps --record)
    COMPREPLY=()
    if ((COMP_CWORD > 1)) && [[ ${COMP_WORDS[COMP_CWORD - 1]} =~ ^--(record|report|svg)$ ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    words="$(_cabletest_words_before)"
    [[ $words == end ]] && return
    if [[ $words == report ]]; then
        mapfile -t COMPREPLY < <(compgen -W --svg -- "$cur")
        return
    fi
    # --report goes before any port, and --svg with it.
    [[ $words == 0 ]] && options+=(--report --svg)
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
        return
    fi
    case "$words" in
        0)
            local IFS=$'\n'
            words="$(printf '%s\n' "${options[@]}" sim)"$'\n'"$(_cabletest_ports "$1")"
            mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
            ;;
        1)
            mapfile -t COMPREPLY < <(compgen -W debug -- "$cur")
            ;;
    esac
}

complete -F _cabletest cabletest
