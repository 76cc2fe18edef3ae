# Wine prefixes for the checks of the Windows build (sourced by run.sh and
# smoke.sh).
#
# Wine's own port detection (the mountmgr.sys driver) links com1 to
# /dev/ttyS0, and on a machine whose console is /dev/ttyS0 a program that
# opens com1 would reconfigure that console. So every prefix here is new, in
# a temporary folder, and made with mountmgr.sys disabled: Wine then maps no
# serial port by itself (Wine 8's ntdll has no built-in com1..com9 default
# any more), and a COM name opens only what a link in dosdevices names. The
# checks add links to pseudo-terminals only, and wine_prefix_verify refuses
# to go on when any com/lpt/aux link, or any serial mapping in the registry,
# points elsewhere.

# Wine environment of every run: no Mono/Gecko installers, no menu entries
# in the home folder, no debug noise (WINEDEBUG from the caller is kept, for a
# fault hunt), and port detection off.
wine_environment() {
    export WINEARCH=win32
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;mountmgr.sys=d"
    unset DISPLAY WAYLAND_DISPLAY
}

# wine_prefix_create DIR: a new prefix in DIR (which must not exist yet).
wine_prefix_create() {
    local dir="$1"
    if [ -e "$dir" ]; then
        echo "wine prefix $dir exists already: refusing to reuse it" >&2
        return 1
    fi
    wine_environment
    export WINEPREFIX="$dir"
    if ! timeout 180 wineboot -i >"$dir.boot.log" 2>&1; then
        echo "wineboot failed; its output:" >&2
        cat "$dir.boot.log" >&2
        return 1
    fi
    timeout 60 wineserver -w
    wine_prefix_scrub
    wine_prefix_verify
}

# Removes every com/lpt/aux/prn/nul link from the prefix's dosdevices.
wine_prefix_scrub() {
    local link
    for link in "$WINEPREFIX"/dosdevices/*; do
        case "${link##*/}" in
            com* | lpt* | aux | prn) rm -f "$link" ;;
        esac
    done
}

# wine_prefix_verify [ALLOWED_DIR]: fails unless every port link in
# dosdevices points into ALLOWED_DIR (no link at all without it) and from
# there to a pseudo-terminal, and the registry holds no serial port mapping.
wine_prefix_verify() {
    local allowed="${1:-}" link target status=0
    for link in "$WINEPREFIX"/dosdevices/*; do
        case "${link##*/}" in
            com* | lpt* | aux | prn) ;;
            *) continue ;;
        esac
        target="$(readlink "$link")"
        if [ -z "$allowed" ] || [ "${target#"$allowed"/}" = "$target" ]; then
            echo "unsafe port link in the wine prefix: ${link##*/} -> $target" >&2
            status=1
        elif [ -e "$link" ]; then
            # Through the test's own link, it must end at a pseudo-terminal.
            target="$(readlink -f "$link")"
            case "$target" in
                /dev/pts/*) ;;
                *)
                    echo "port link ${link##*/} ends at $target, not at a pty" >&2
                    status=1
                    ;;
            esac
        fi
    done
    # Values under Software\Wine\Ports would map ports by hand; the volatile
    # SERIALCOMM map is never saved, so an entry there means something wrote
    # it to disk on purpose.
    if [ -f "$WINEPREFIX/system.reg" ] &&
        awk '/^\[/ {
                 key = tolower($0)
                 inside = index(key, "[software\\\\wine\\\\ports]") == 1 ||
                          index(key, "[hardware\\\\devicemap\\\\serialcomm]") == 1
                 next
             }
             inside && /=/ { found = 1 }
             END { exit !found }' "$WINEPREFIX/system.reg"; then
        echo "the wine prefix's registry maps serial ports" >&2
        status=1
    fi
    if grep -qs '/dev/ttyS' "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg"; then
        echo "the wine prefix's registry names /dev/ttyS*" >&2
        status=1
    fi
    return $status
}

# Ends the prefix's wine server and removes the prefix.
wine_prefix_remove() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    # The server's socket folder, named after the prefix's device and inode,
    # sits in a temporary folder of its own: removed with it.
    local server folder
    if [ -d "$WINEPREFIX" ]; then
        server="$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
        for folder in "${TMPDIR:-/tmp}"/wine-*/"$server" /tmp/wine-*/"$server"; do
            [ -d "$folder" ] || continue
            rm -rf "$folder"
            rmdir "${folder%/*}" 2>/dev/null || true
        done
    fi
    rm -rf "$WINEPREFIX" "$WINEPREFIX.boot.log"
}
