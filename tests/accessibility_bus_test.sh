#!/usr/bin/env bash
# Drives the real window with the mouse and keyboard through a UDP and a TCP
# exchange with a peer on loopback, and reads every control over the
# accessibility bus as a screen reader would: field texts, the receive log,
# the ticks, the chosen options and the exact words of the status panels.
#   bash tests/accessibility_bus_test.sh path/to/tarvik
set -uo pipefail
# shellcheck source=tests/atspi_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/atspi_session.sh"

program="${1:?usage: accessibility_bus_test.sh path/to/tarvik}"
for tool in socat xclip; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done
start_session "$program"
peer_pid="" clip_pid=""
trap 'kill $peer_pid $clip_pid 2>/dev/null; stop_session' EXIT

read -r port peer_port < <(free_ports 2)
[[ -n "$port" && -n "$peer_port" ]] || fail "no free ports"

file_holds() { [[ "$(cat "$1" 2>/dev/null)" == "$2" ]]; }
until_file_holds() { # FILE TEXT
    until_true 10 file_holds "$1" "$2" \
        || fail "the peer got \"$(cat "$1" 2>/dev/null)\", expected \"$2\""
}
bound() { [[ -n "$(ss -Hn "-$1l" "sport = :$2")" ]]; }
until_bound() { # PROTOCOL-FLAG PORT
    until_true 10 bound "$1" "$2" || fail "the peer did not bind port $2"
}

click "push button:Send Data"
probe expect "label:No specified remote host! (Status)" || fail "Send without a remote host"

apply_port "$port"

socat -u "UDP4-RECV:$peer_port,bind=127.0.0.1" "CREATE:$work/udp.got" &
peer_pid=$!
until_bound u "$peer_port"
type_into "text:Remote Host IP" 127.0.0.1 && type_into "text:Remote Host Port" "$peer_port"
# Shift+Enter breaks the line with a line feed; text pasted from another
# program goes out as UTF-8. (xdotool types characters the keyboard map lacks
# by remapping a key for a moment, which the program may read after the map is
# back: not dependable.)
click "push button:Apply" && type_into "text:Send" ping
xdotool key shift+Return || fail "Shift+Enter in the send box"
printf 'é✓' >"$work/clip"
hold_clipboard "$work/clip"
clip_pid=$!
xdotool key ctrl+v || fail "pasting into the send box"
probe expect 'text:Send = "ping\n\u00e9\u2713" [7 chars] [caret 7]' || fail "the paste did not arrive"
kill "$clip_pid" && wait "$clip_pid" 2>/dev/null
clip_pid=""
click "push button:Send Data"
until_file_holds "$work/udp.got" $'ping\n\xc3\xa9\xe2\x9c\x93'
probe expect "label: (Status)" || fail "a successful send leaves panel 1 empty"

# The log reads back exactly what arrived, CR LF included.
printf 'hello\r\n' | socat -u - "UDP4-SENDTO:127.0.0.1:$port"
probe expect 'text:Receive = "hello\r\n" [7 chars] [caret 7]' || fail "the log does not read the datagram"
click "check box:HEX Display"
printf 'AB' | socat -u - "UDP4-SENDTO:127.0.0.1:$port"
probe expect 'text:Receive = "hello\r\nUDP IN  (0002) : 41 42 \r\n" [32 chars] [caret 32]' \
    || fail "the log does not read the hex record"
kill "$peer_pid" && wait "$peer_pid" 2>/dev/null

# TCP: the window listens on the port in its field and takes one client.
click "radio button:TCP"
probe expect "label:Listening... (Link)" || fail "the server does not listen"
socat -u "TCP4:127.0.0.1:$port,bind=127.0.0.1,sourceport=$peer_port" "CREATE:$work/tcp.got" &
peer_pid=$!
probe expect "label:Connect with remote client success. (Status)" "label:Connect (Link)" \
    || fail "the client's connection is not reported"
click "push button:Send Data"
until_file_holds "$work/tcp.got" $'ping\n\xc3\xa9\xe2\x9c\x93'
kill "$peer_pid" && wait "$peer_pid" 2>/dev/null
peer_pid=""

# Every control, after the exchange, as the bus reads it. The remote fields
# show the client that came and went; the server's role dropped with it.
probe expect "$(field "Local Host Name" "$(hostname)")" "$(field "Bound Local Port" "$port")" \
    "$(field "Remote Host IP" 127.0.0.1)" "$(field "Remote Host Port" "$peer_port")" \
    "$(field "Local Host Port" "$port")" 'text:Send = "ping\n\u00e9\u2713" [7 chars] [caret 7]' \
    'text:Receive = "hello\r\nUDP IN  (0002) : 41 42 \r\n" [32 chars] [caret 32]' \
    "check box:HEX Display [checked]" "check box:HEX Value [unchecked] [hidden]" \
    "radio button:UDP [unchecked]" "radio button:TCP [checked]" \
    "radio button:Server [unchecked]" "radio button:Client [unchecked]" \
    "push button:Apply [hidden]" "label:Remote client disconnect... (Status)" \
    "label: (Status 2)" "label:Disconnect (Link)" || fail "the window's state after the exchange"
probe dump | grep -E '^text:Local Host IP = "[0-9a-f.:]+" ' >/dev/null || fail "no local address shown"
echo "PASS: every control reads right over the accessibility bus after a UDP and a TCP exchange"
