# Sourced by scripts that need a private X server.
# start_xvfb WORKDIR: starts Xvfb on a display it picks itself, sets xvfb_pid
# and exports DISPLAY; returns 1 (with the server's log on stderr) if it fails.
start_xvfb() {
    local work=$1
    # The server picks a free display itself and writes its number to fd 3.
    # -noreset: a helper that connects and leaves (the accessibility bus sets a
    # property) would otherwise reset the server under the next client.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
        3>"$work/display" 2>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [[ -s "$work/display" ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ ! -s "$work/display" ]]; then
        cat "$work/xvfb.log" >&2
        return 1
    fi
    DISPLAY=":$(head -n1 "$work/display")"
    export DISPLAY
}
