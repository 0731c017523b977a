#!/usr/bin/env bash
# Takes a picture of the window as a user sees it, under a private X server.
#   scripts/screenshot.sh [path/to/tarvik] [output.png]
# Without a program path it builds build/tarvik first. The default output is
# docs/screenshot.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=scripts/xvfb.sh
. "$root/scripts/xvfb.sh"

program="${1:-}"
output="${2:-$root/docs/screenshot.png}"
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
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    local pid
    for pid in $app_pid $xvfb_pid; do
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
