#!/usr/bin/env bash
# Starts the real program under a private X server with no window manager and
# checks what a user would see first: the window's title and size, and that
# it is listening on its UDP port.
#   bash tests/window_smoke_test.sh path/to/tarvik
set -uo pipefail
# shellcheck source=scripts/xvfb.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"

program="${1:?usage: window_smoke_test.sh path/to/tarvik}"
expected_title="Tarvik (ver 1.10)"
expected_size="831x620"
udp_port=1000

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[[ -x "$program" ]] || fail "no program at $program"
for tool in Xvfb xdotool xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
# shellcheck disable=SC2317 # run by the trap
stop_program() {
    if [[ -n "$app_pid" ]]; then
        kill "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
        app_pid=""
    fi
}
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    stop_program
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb "$work" || fail "Xvfb did not start"

# The port check returns 0 when the program holds the port, 1 when it does not.
holds_udp_port() {
    ss -Hulpn "sport = :$udp_port" 2>/dev/null | grep -q "pid=$app_pid,"
}

# Why the program cannot hold the port through no fault of its own, if it cannot.
port_skipped=""
port_unavailable() {
    local first
    first="$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)"
    if [[ $EUID -ne 0 && $udp_port -lt $first ]]; then
        echo "ports below $first are protected for this user"
    elif ss -Hulpn "sport = :$udp_port" 2>/dev/null | grep -q .; then
        echo "another program holds it"
    fi
}

# One run of the program; prints why it failed and returns 2 when the only
# fault is the port (another program may have held it), 1 otherwise.
check_once() {
    # ctest runs every test with the offscreen platform; this one needs X.
    QT_QPA_PLATFORM=xcb "$program" >"$work/app.log" 2>&1 &
    app_pid=$!

    local window=""
    for _ in $(seq 100); do # up to 20 s
        window="$(xdotool search --onlyvisible --name "^${expected_title//[()]/.}\$" 2>/dev/null \
                  | head -n1)"
        [[ -n "$window" ]] && break
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.2
    done
    if [[ -z "$window" ]]; then
        cat "$work/app.log" >&2
        if kill -0 "$app_pid" 2>/dev/null; then
            echo "no window named \"$expected_title\" appeared within 20 s" >&2
        else
            wait "$app_pid"
            echo "the program exited with status $? before showing its window" >&2
            app_pid=""
        fi
        return 1
    fi

    local title
    title="$(xdotool getwindowname "$window")"
    if [[ "$title" != "$expected_title" ]]; then
        echo "window title is \"$title\", expected \"$expected_title\"" >&2
        return 1
    fi

    local info width height
    info="$(xwininfo -id "$window")"
    width="$(awk '/^ *Width:/ { print $2 }' <<<"$info")"
    height="$(awk '/^ *Height:/ { print $2 }' <<<"$info")"
    if [[ "${width}x${height}" != "$expected_size" ]]; then
        echo "window client size is ${width}x${height}, expected $expected_size" >&2
        return 1
    fi

    if command -v ss >/dev/null; then
        # The socket is bound while the window is built, so it is there by now;
        # the short wait only covers a slow ss.
        for _ in $(seq 10); do
            holds_udp_port && return 0
            sleep 0.2
        done
        port_skipped="$(port_unavailable)"
        [[ -n "$port_skipped" ]] && return 0
        echo "the program does not hold UDP port $udp_port; holders now:" >&2
        ss -Hulpn "sport = :$udp_port" >&2
        return 2
    fi
    echo "ss is not installed: UDP port check skipped"
    return 0
}

for attempt in 1 2; do
    check_once
    result=$?
    stop_program
    # A sanitizer build reports on its standard error, which only the log sees.
    if grep -qE 'Sanitizer|runtime error:' "$work/app.log"; then
        cat "$work/app.log" >&2
        fail "the program reported a sanitizer error"
    fi
    if [[ $result -eq 0 && -n "$port_skipped" ]]; then
        echo "PASS: window \"$expected_title\" is $expected_size;" \
            "UDP port $udp_port check skipped: $port_skipped"
        exit 0
    elif [[ $result -eq 0 ]]; then
        echo "PASS: window \"$expected_title\" is $expected_size and holds UDP port $udp_port"
        exit 0
    fi
    [[ $result -eq 2 && $attempt -eq 1 ]] || fail "window smoke test failed (attempt $attempt)"
    echo "retrying once: UDP port $udp_port may have been held by another program" >&2
    for _ in $(seq 50); do
        [[ -z "$(ss -Huln "sport = :$udp_port")" ]] && break
        sleep 0.2
    done
done
