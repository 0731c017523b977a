# shellcheck shell=bash
# Sourced by the scripts that run Windows programs under Wine.
# start_wine_desktop: a private X server for Wine's desktop, which wants a
# display from its first program on (the prefix's making included); the server,
# its folder and Wine's own server go when the script exits. A Wine server an
# earlier run left behind would keep its desktop on that run's display: it goes
# first. Returns 1, with the X server's log on stderr, when it did not start.
start_wine_desktop() {
    wine_work="$(mktemp -d)"
    xvfb_pid=""
    trap stop_wine_desktop EXIT
    # shellcheck source=scripts/xvfb.sh
    . "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"
    start_xvfb "$wine_work" || return 1
    /usr/lib/wine/wineserver -k 2>/dev/null || true
}

# shellcheck disable=SC2317 # run by the trap
stop_wine_desktop() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$wine_work"
}
