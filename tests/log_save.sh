# shellcheck shell=bash
# Sourced by the tests that save the real window's receive log with real keys:
# the window on a free UDP port, datagrams sent to it, and the Save As dialog
# answered by typing. Needs tests/atspi_session.sh sourced first.

click() { probe click "$1" || fail "could not click $1"; }

# Moves the window's UDP endpoint to a free port, typed into Local Host Port.
bind_free_port() {
    port="$(/usr/bin/python3 -c '
import socket
s = socket.socket(type=socket.SOCK_DGRAM)
s.bind(("", 0))
print(s.getsockname()[1])')"
    click "text:Local Host Port"
    xdotool key ctrl+a && xdotool type --delay 10 "$port" || fail "typing the port"
    click "push button:Apply"
    probe expect "text:Bound Local Port = \"$port\" [${#port} chars]" || fail "Apply did not bind $port"
}

# FILE: sends the file's bytes to the window as one datagram.
send_datagram() {
    socat -u -b 65536 "FILE:$1" "UDP4-SENDTO:127.0.0.1:$port" || fail "socat could not send $1"
}

# FILE: waits until the log holds as many characters as the file's UTF-8 text.
until_log_holds() {
    local units
    units="$(/usr/bin/python3 -c '
import sys
print(len(open(sys.argv[1], "rb").read().decode("utf-8").encode("utf-16-le")) // 2)' "$1")"
    for _ in $(seq 100); do
        probe dump | grep -q "^text:Receive = .* \[$units chars\]" && return 0
        sleep 0.1
    done
    fail "the log never held the $units characters sent"
}

# PATH [replace]: Ctrl+S in the log, then the path typed into the dialog; with
# "replace", the question about the existing file is answered Yes.
save_with_keys() {
    click "text:Receive"
    xdotool key ctrl+s || fail "pressing Ctrl+S"
    local dialog=""
    for _ in $(seq 100); do
        dialog="$(xdotool search --onlyvisible --name '^Save As$' 2>/dev/null | head -n1)"
        [[ -n "$dialog" ]] && break
        sleep 0.1
    done
    [[ -n "$dialog" ]] || fail "Ctrl+S opened no Save As dialog"
    xdotool windowfocus --sync "$dialog" || fail "could not focus the dialog"
    xdotool type --delay 40 "$1" && xdotool key Return || fail "typing the file name"
    if [[ "${2:-}" == replace ]]; then
        # The question is a second window of the same name.
        for _ in $(seq 100); do
            [[ "$(xdotool search --onlyvisible --name '^Save As$' 2>/dev/null | wc -l)" -ge 2 ]] && break
            sleep 0.1
        done
        xdotool key alt+y || fail "answering the question"
    fi
    xdotool windowfocus --sync "$window" 2>/dev/null || true
}
