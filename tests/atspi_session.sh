# shellcheck shell=bash
# Sourced by the tests that watch the real program over the accessibility bus.
# Starts a private X server, session bus and accessibility bus, then the
# program with its accessibility bridge on; stops them all on exit. Sets
# work, app_pid and window (X id), and probe for tests/atspi_probe.py.
#   start_session path/to/tarvik
# shellcheck source=scripts/xvfb.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"

probe() { /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/atspi_probe.py" "$app_pid" "$@"; }

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

work="$(mktemp -d)"
xvfb_pid="" bus_pid="" launcher_pid="" app_pid="" window=""
# shellcheck disable=SC2317 # run by the trap
stop_session() {
    local pid
    for pid in $app_pid $launcher_pid $bus_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # A sanitizer build reports on its standard error, which only the log sees.
    if grep -qE 'Sanitizer|runtime error:' "$work/app.log" 2>/dev/null; then
        cat "$work/app.log" >&2
        echo "FAIL: the program reported a sanitizer error" >&2
        rm -rf "$work"
        exit 1
    fi
    rm -rf "$work"
}
trap stop_session EXIT
trap 'exit 130' INT TERM

start_session() {
    local program=$1 tool
    [[ -x "$program" ]] || fail "no program at $program"
    for tool in Xvfb xdotool dbus-daemon /usr/libexec/at-spi-bus-launcher; do
        command -v "$tool" >/dev/null || fail "$tool is not installed"
    done
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || fail "python3-pyatspi is not installed"

    start_xvfb "$work" || fail "Xvfb did not start"
    # Private runtime directory and session bus: the accessibility bus lives in them.
    export XDG_RUNTIME_DIR="$work/run"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$work/bus" 4>"$work/bus.pid" \
        || fail "the session bus did not start"
    bus_pid="$(cat "$work/bus.pid")"
    DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$work/bus")"
    export DBUS_SESSION_BUS_ADDRESS
    /usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/launcher.log" 2>&1 &
    launcher_pid=$!

    # ctest runs every test with the offscreen platform; this one needs X.
    QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
        "$program" >"$work/app.log" 2>&1 &
    app_pid=$!
    probe wait || { cat "$work/app.log" "$work/launcher.log" "$work/xvfb.log" >&2; fail "no window on the bus"; }
    window="$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -n1)"
    [[ -n "$window" ]] || fail "the program shows no window"
    # No window manager here: give the window the keyboard directly.
    xdotool windowfocus --sync "$window" || fail "could not focus the window"
}

# Helpers of the tests that drive the window. Every wait is bounded.

# LIMIT_S COMMAND...: until the command succeeds, asking every 0.1 s; its
# status at the limit otherwise.
until_true() {
    local limit=$1 _
    shift
    for _ in $(seq $((limit * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

click() { probe click "$1" || fail "could not click $1"; }

# CONTROL TEXT: replaces a field's text by typing; TEXT is in the keyboard map
# (xdotool types other characters by remapping a key for a moment, which the
# program may read after the map is back: paste those, see hold_clipboard).
type_into() {
    click "$1"
    xdotool key ctrl+a && xdotool type --delay 10 "$2" || fail "typing into $1"
}

# NAME TEXT: the bus line of a one-line field that holds TEXT.
field() {
    /usr/bin/python3 -c '
import json, sys
name, text = sys.argv[1:]
units = len(text.encode("utf-16-le")) // 2
print(f"text:{name} = {json.dumps(text)} [{units} chars]")' "$1" "$2"
}

# N: N ports the kernel hands out, each free for UDP and TCP alike when asked.
free_ports() {
    /usr/bin/python3 -c '
import socket, sys
held = []
for _ in range(50 * int(sys.argv[1])):
    if len(held) == 2 * int(sys.argv[1]):
        break
    t, u = socket.socket(), socket.socket(type=socket.SOCK_DGRAM)
    t.bind(("", 0))
    try:
        u.bind(("", t.getsockname()[1]))
    except OSError:
        continue
    held += [t, u]
print(*(s.getsockname()[1] for s in held[::2]))' "$1"
}

# PORT: typed into Local Host Port and applied; the window then holds it.
apply_port() {
    type_into "text:Local Host Port" "$1"
    click "push button:Apply"
    probe expect "$(field "Bound Local Port" "$1")" || fail "Apply did not bind $1"
}

# FILE: another program owns the clipboard with the file's bytes until the
# next one takes it.
hold_clipboard() {
    xclip -quiet -selection clipboard -i "$1" >"$work/xclip.log" 2>&1 &
    until_true 10 grep -q "Waiting for selection" "$work/xclip.log" \
        || fail "xclip did not take the clipboard"
}
