#!/usr/bin/env bash
# Takes a picture of the window as a user sees it, under a private X server.
#   scripts/screenshot.sh [--at-work] [path/to/tarvik] [output.png]
# Without a program path it builds build/tarvik first. The default output is
# docs/screenshot.png; with --at-work, docs/screenshot-at-work.png: the window
# driven with xdotool over UDP, hex records of socat's datagrams in the log, the
# Traffic strip and a file being sent to a socat sink.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=scripts/xvfb.sh
. "$root/scripts/xvfb.sh"

at_work=""
[[ "${1:-}" == "--at-work" ]] && { at_work=1; shift; }
program="${1:-}"
output="${2:-$root/docs/screenshot${at_work:+-at-work}.png}"
if [[ -z "$program" ]]; then
    (cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default)
    program="$root/build/tarvik"
fi
[[ -x "$program" ]] || { echo "screenshot: no program at $program" >&2; exit 1; }
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is not installed" >&2; exit 1; }
done

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
peer_pids=""
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    local pid
    for pid in $peer_pids $app_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb "$work" || { echo "screenshot: Xvfb did not start" >&2; exit 1; }

QT_QPA_PLATFORM=xcb "$program" >"$work/app.log" 2>&1 &
app_pid=$!

window=""
for _ in $(seq 100); do
    window="$(xdotool search --onlyvisible --name '^Tarvik' 2>/dev/null | head -n1 || true)"
    [[ -n "$window" ]] && break
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.2
done
if [[ -z "$window" ]]; then
    cat "$work/app.log" >&2
    echo "screenshot: no window appeared" >&2
    exit 1
fi

if [[ -n "$at_work" ]]; then
    command -v socat >/dev/null || { echo "screenshot: socat is not installed" >&2; exit 1; }
    # Places in the window's own pixels (its layout is fixed).
    at() { xdotool mousemove --window "$window" "$1" "$2"; }
    field() { at "$1" "$2"; xdotool click 1 key ctrl+a type "$3"; }
    port=$((45000 + RANDOM % 5000))
    field 677 265 "$port"                   # Local Host Port
    field 727 205 127.0.0.1                 # Remote Host IP
    field 677 235 $((port + 1))             # Remote Host Port
    at 588 304; xdotool click 1             # Apply
    at 26 372; xdotool click 1              # HEX Display
    socat -u UDP-RECV:$((port + 1)) OPEN:/dev/null &
    peer_pids+=" $!"
    # Datagrams into the log, a few a second, for the graph's In line.
    (for i in $(seq 400); do
        printf 'GET /status %03d\r\n' "$i" | socat -u - UDP:127.0.0.1:$port
        sleep 0.1
    done) &
    peer_pids+=" $!"
    head -c 20000000 /dev/urandom >"$work/firmware.bin"
    printf 'hello\r\n' >"$work/hello.txt"
    # Traffic… is the log menu's last item, Send File… the send box's fourth from the end.
    at 254 150; xdotool click 3; sleep 0.5; xdotool key Up Return
    send_file() {
        at 200 440; xdotool click 3; sleep 0.5; xdotool key Up Up Up Up Return
        sleep 1; xdotool type "$1"; xdotool key Return
    }
    # A short file opens the strip; the large one goes paced, one piece a ms.
    send_file "$work/hello.txt"
    sleep 1
    field 214 523 1                         # Every, ms
    send_file "$work/firmware.bin"
    sleep 6
    mkdir -p "$(dirname "$output")"
    import -window "$window" -strip "$output"
    echo "screenshot: $output"
    exit 0
fi

# Compare grabs until two in a row agree, so the first paint has finished.
previous=""
for _ in $(seq 20); do
    sleep 0.3
    sum="$(import -window "$window" rgb:- | md5sum)"
    if [[ "$sum" == "$previous" ]]; then
        mkdir -p "$(dirname "$output")"
        # -strip drops the time stamps, so the same window gives the same file.
        import -window "$window" -strip "$output"
        echo "screenshot: $output"
        exit 0
    fi
    previous="$sum"
done
echo "screenshot: the window never settled" >&2
exit 1
